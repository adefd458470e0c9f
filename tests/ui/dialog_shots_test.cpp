// Each dialog of the screenshot tour, shown and grabbed as the tour saves it: nothing a user must
// read is cut off or covered, and the dialogs share one look.
#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include "dialog_shots_support.h"

namespace {

// Why a control that shows text is drawn smaller than its text needs, or "" when it is not.
QString clipped(QWidget* w) {
  QSize need = w->minimumSizeHint();
  // A push button's hint holds a style's least width; what matters is its text.
  if (auto* button = qobject_cast<QPushButton*>(w)) {
    const QString shown = button->text().remove('&');
    need.setWidth(button->fontMetrics().horizontalAdvance(shown) + 8);
  }
  if (w->width() + 1 < need.width() || w->height() + 1 < need.height()) {
    return QString("%1 \"%2\" is %3x%4, needs %5x%6")
        .arg(w->metaObject()->className(), w->objectName())
        .arg(w->width())
        .arg(w->height())
        .arg(need.width())
        .arg(need.height());
  }
  return {};
}

// Two visible siblings drawn over each other.
QString overlap(QWidget* a, QWidget* b) {
  if (a->geometry().intersects(b->geometry())) {
    return QString("%1 and %2 overlap").arg(a->objectName(), b->objectName());
  }
  return {};
}

}  // namespace

class DialogShots : public QObject {
  Q_OBJECT

 private slots:
  void everyDialogIsReadable() {
    QWidget parent;
    const auto shots = makeDialogShots(&parent);
    QCOMPARE(shots.size(), size_t{8});
    const QString dir = qEnvironmentVariable("BKL_SHOTS_DIR", "/tmp/bkl-dialog-shots");
    QDir().mkpath(dir);
    for (const auto& [name, widget] : shots) {
      widget->show();
      QVERIFY(QTest::qWaitForWindowExposed(widget));
      QVERIFY2(widget->width() >= 300 && widget->height() >= 200, name.c_str());
      QVERIFY2(widget->width() <= 1000 && widget->height() <= 750, name.c_str());
      for (QWidget* w : widget->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(widget)) continue;
        if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QLabel*>(w) ||
            qobject_cast<QGroupBox*>(w)) {
          const QString why = clipped(w);
          QVERIFY2(why.isEmpty(), qPrintable(QString::fromStdString(name) + ": " + why));
        }
        const QList<QWidget*> siblings =
            w->parentWidget()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
        for (QWidget* other : siblings) {
          if (other == w || !other->isVisibleTo(widget) || other < w) continue;
          if (qobject_cast<QTabWidget*>(w->parentWidget()) != nullptr) continue;
          const QString why = overlap(w, other);
          QVERIFY2(why.isEmpty(), qPrintable(QString::fromStdString(name) + ": " + why));
        }
      }
      QVERIFY(widget->grab().save(dir + "/" + QString::fromStdString(name)));
      widget->hide();
    }
  }
};

QTEST_MAIN(DialogShots)
#include "dialog_shots_test.moc"
