#include "ui/settings_bindings.h"

#include <QRegularExpressionValidator>

#include "log/log.h"
#include "ui/text_limit.h"

namespace ui {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};

}  // namespace

void prepareControls(const PageBindings& rows) {
  for (const BindingRow& row : rows) {
    std::visit(Overloaded{[](const CheckRow&) {}, [](const TextRow& r) { limitText(r.edit); },
                          [](const NumberRow& r) {
                            r.edit->setValidator(new QRegularExpressionValidator(
                                QRegularExpression("[0-9]{0,10}"), r.edit));
                          }},
               row);
  }
}

void fillControls(const PageBindings& rows, const config::Settings& record) {
  for (const BindingRow& row : rows) {
    std::visit(
        Overloaded{[&record](const CheckRow& r) { r.box->setChecked((record.*r.field) != 0); },
                   [&record](const TextRow& r) {
                     r.edit->setText(QString::fromStdString((record.*r.field).get()));
                   },
                   [&record](const NumberRow& r) {
                     const uint32_t value = record.*r.field;
                     r.edit->setText(QString::number(static_cast<int32_t>(value)));
                   }},
        row);
  }
}

void storeControls(const PageBindings& rows, config::Settings* record) {
  for (const BindingRow& row : rows) {
    std::visit(
        Overloaded{[record](const CheckRow& r) { (record->*r.field) = r.box->isChecked() ? 1 : 0; },
                   [record](const TextRow& r) {
                     const QString text = r.edit->text();
                     // Typing cannot pass the limit; a text set by other means is not stored
                     // rather than stored and lost at the next start.
                     if (!fitsLimit(text)) {
                       log_event(LOG_WARNING, 0x6001, "driver", __LINE__,
                                 "The %s text is longer than %d bytes: it was not stored", r.name,
                                 kStoredTextLimit);
                       return;
                     }
                     (record->*r.field).set(text.toStdString());
                   },
                   [record](const NumberRow& r) {
                     bool number = false;
                     const int value = r.edit->text().toInt(&number);
                     (record->*r.field) = static_cast<uint32_t>(number ? value : 0);
                   }},
        row);
  }
}

}  // namespace ui
