// Windows on a screen smaller than the one they were made on: at scale factor 2 the offscreen
// screen (800×600) has 400×300 to give. The main window's stored place and size from a larger
// screen are brought inside it; the rule editor's buttons stay on it in both views.
#include <QApplication>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include "ui/commands.h"
#include "ui/main_window.h"
#include "ui/rule_editor.h"
#include "ui_test_support.h"

using ui_test::byId;
using ui_test::DesktopProgram;
using ui_test::TestStore;

class SmallScreenTest : public QObject {
  Q_OBJECT

 private:
  static QRect screenArea() { return QGuiApplication::primaryScreen()->availableGeometry(); }
  // The widget's whole frame, in screen coordinates.
  static QRect onScreen(const QWidget* w) { return QRect(w->mapToGlobal(QPoint(0, 0)), w->size()); }

 private slots:
  void theScreenIsSmall() { QVERIFY(screenArea().width() <= 400); }

  void aPlaceFromALargerScreenIsBroughtInside() {
    TestStore store;
    store.setting("pos.x", 1500);
    store.setting("pos.y", 900);
    store.setting("pos.cx", 1200);
    store.setting("pos.cy", 800);
    DesktopProgram program;
    ui::MainWindow& w = program.window();
    w.dispatch(ui::kCmdOpen);
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY2(screenArea().contains(w.frameGeometry().topLeft()),
             qPrintable(QString("%1,%2").arg(w.x()).arg(w.y())));
    QVERIFY(w.width() <= screenArea().width() && w.height() <= screenArea().height());
    w.dispatch(ui::kCmdExit);
  }

  void theRuleEditorsButtonsStayOnTheScreen() {
    TestStore store;
    ui::RuleEditor e(nullptr, nullptr, std::string("."));
    for (bool advanced : {false, true, false}) {
      e.setAdvancedShown(advanced);
      e.show();
      QVERIFY(QTest::qWaitForWindowExposed(&e));
      for (int id : {1, 2, 9, 10}) {  // OK, Cancel, Help, Advanced >>
        const QRect button = onScreen(byId<QPushButton>(&e, id));
        QVERIFY2(screenArea().contains(button),
                 qPrintable(QString("button %1 at %2,%3 %4x%5 (advanced %6)")
                                .arg(id)
                                .arg(button.x())
                                .arg(button.y())
                                .arg(button.width())
                                .arg(button.height())
                                .arg(advanced)));
      }
      e.hide();
    }
  }
};

int main(int argc, char** argv) {
  // Before the application exists: the scale factor is read once.
  qputenv("QT_SCALE_FACTOR", "2");
  QApplication app(argc, argv);
  SmallScreenTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "small_screen_test.moc"
