#include "ui/log_font.h"

#include <QFontDialog>

#include "ui/modal.h"
#include "ui/stored_values.h"

namespace ui {

std::optional<QFont> chooseLogFont(QWidget* owner, const QFont& current) {
  QFontDialog dialog(current, owner);
  dialog.setOptions(QFontDialog::MonospacedFonts | QFontDialog::DontUseNativeDialog);
  if (runModal(&dialog) != QDialog::Accepted) return std::nullopt;
  const QFont font = dialog.currentFont();
  storeLogFont(font);
  return font;
}

}  // namespace ui
