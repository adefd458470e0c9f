// The desktop program as a process on a real X server (Xvfb) with a tray host (trayer): it
// starts hidden, its tray icon is embedded, the relay serves a connection, a second program of
// the same store shows the first's window instead of running beside it, and SIGTERM ends it in
// order. Skipped where Xvfb or trayer is missing.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QStandardPaths>
#include <QTest>
#include <filesystem>
#include <string>

#include "support/support.h"
#include "ui/ui_test_support.h"

using namespace std::chrono_literals;

class DesktopXvfbTest : public QObject {
  Q_OBJECT

 private slots:
  void startsHiddenInTheTrayAndServes();
};

namespace {

// A display number nobody uses.
std::string freeDisplay() {
  for (int n = 100 + static_cast<int>(getpid() % 400); n < 1000; ++n) {
    if (!std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)) &&
        !std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock")) {
      return ":" + std::to_string(n);
    }
  }
  return ":99";
}

std::string windowTree(const std::string& display, const std::string& out) {
  std::filesystem::remove(out);  // the output is appended to; each look starts afresh
  test_support::run({"env", "DISPLAY=" + display, "xwininfo", "-root", "-tree"}, out, 10s);
  return test_support::readFile(out);
}

// True when a window of the program sits inside trayer's panel.
bool embeddedInTray(const std::string& tree) {
  const size_t panel = tree.find("(\"panel\" \"trayer\")");
  if (panel == std::string::npos) return false;
  const size_t icon = tree.find("\"brisklane\": (\"brisklane\" \"brisklane\")", panel);
  const size_t nextTopLevel = tree.find("\n     0x", tree.find('\n', panel) + 1);
  return icon != std::string::npos && (nextTopLevel == std::string::npos || icon < nextTopLevel);
}

}  // namespace

void DesktopXvfbTest::startsHiddenInTheTrayAndServes() {
  if (QStandardPaths::findExecutable("Xvfb").isEmpty() ||
      QStandardPaths::findExecutable("trayer").isEmpty()) {
    QSKIP("Xvfb or trayer is not installed");
  }
  ui_test::TestStore store;
  const std::string display = freeDisplay();
  test_support::Process xvfb({"Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                             store.file("xvfb.log"));
  std::string tree;
  for (int i = 0; i < 100 && tree.find("Root window") == std::string::npos; ++i) {
    QTest::qWait(100);
    tree = windowTree(display, store.file("tree.txt"));
  }
  QVERIFY2(tree.find("Root window") != std::string::npos, "Xvfb did not start");
  test_support::Process tray(
      {"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24"},
      store.file("trayer.log"), {{"DISPLAY", display}});
  for (int i = 0; i < 100 && tree.find("(\"panel\" \"trayer\")") == std::string::npos; ++i) {
    QTest::qWait(100);
    tree = windowTree(display, store.file("tree.txt"));
  }
  const uint16_t echo = test_support::freePort();
  test_support::Process peer = test_support::echoService(echo, store.file("socat.log"));
  QVERIFY(test_support::waitForPort(echo));
  const uint16_t port = test_support::freePort();
  store.rule(1, port, echo);
  test_support::Process program(
      {test_support::binDir() + "/brisklane"}, store.file("program.log"),
      {{"DISPLAY", display}, {"QT_QPA_PLATFORM", "xcb"}, {"BRISKLANE_CONFIG_DIR", store.dir()}});

  bool embedded = false;
  for (int i = 0; i < 100 && !embedded; ++i) {
    QTest::qWait(100);
    tree = windowTree(display, store.file("tree.txt"));
    embedded = embeddedInTray(tree);
  }
  QVERIFY2(embedded, tree.c_str());
  // Hidden at start: the main window is not on the screen (not made yet, or not mapped).
  const std::string main = store.file("main.txt");
  test_support::run({"env", "DISPLAY=" + display, "xwininfo", "-name", "Brisklane 4"}, main, 10s);
  QVERIFY2(test_support::readFile(main).find("IsViewable") == std::string::npos,
           test_support::readFile(main).c_str());
  QVERIFY(test_support::waitForPort(port));
  const int fd = test_support::connectLocal(port);
  test_support::sendAll(fd, "through the tray program");
  QCOMPARE(test_support::receive(fd, 24, 10s), std::string("through the tray program"));
  ::close(fd);

  // A second program of the same store shows the first's window and ends at once.
  test_support::Process second(
      {test_support::binDir() + "/brisklane"}, store.file("second.log"),
      {{"DISPLAY", display}, {"QT_QPA_PLATFORM", "xcb"}, {"BRISKLANE_CONFIG_DIR", store.dir()}});
  const int secondStatus = second.wait(10s);
  QVERIFY2(WIFEXITED(secondStatus) && WEXITSTATUS(secondStatus) == 0,
           (std::to_string(secondStatus) + " " + test_support::readFile(store.file("second.log")))
               .c_str());
  bool shown = false;
  for (int i = 0; i < 100 && !shown; ++i) {
    QTest::qWait(100);
    test_support::run({"env", "DISPLAY=" + display, "xwininfo", "-name", "Brisklane 4"}, main, 10s);
    shown = test_support::readFile(main).find("IsViewable") != std::string::npos;
  }
  QVERIFY2(shown, test_support::readFile(main).c_str());
  QVERIFY(program.running());

  program.signal(SIGTERM);
  const int status = program.wait(10s);
  QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, std::to_string(status).c_str());
}

QTEST_MAIN(DesktopXvfbTest)
#include "desktop_xvfb_test.moc"
