// brisklane-screenshots FOLDER [PORT]: the desktop program's windows, each saved as a PNG in
// FOLDER, so that anyone can look at what the program shows without running it. It runs the
// real window on the store of BRISKLANE_CONFIG_DIR (as "brisklane sniffer"), sends a line through
// the rule listening on PORT (when given) so that the log and the status line hold traffic, and
// opens every window and dialog through the same commands a person would use; the modal hook
// photographs each dialog and closes it.
//
// Each picture is checked before it is kept: a picture of one colour (a window that did not
// paint) makes the tour fail. Exit status 0 when every picture was taken, 1 otherwise.
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QListView>
#include <QMenu>
#include <QRegularExpression>
#include <cstdio>

#include "config/settings.h"
#include "platform/registry.h"
#include "relay/relay.h"
#include "support/support.h"
#include "ui/cert_shots_support.h"
#include "ui/commands.h"
#include "ui/dialog_shots_support.h"
#include "ui/main_window.h"
#include "ui/modal.h"
#include "ui/relay_bridge.h"
#include "ui/shot_support.h"

namespace {

// Runs the event loop until the condition holds or the time is up.
bool waitFor(const std::function<bool()>& condition, int ms) {
  QElapsedTimer clock;
  clock.start();
  while (!condition() && clock.elapsed() < ms) {
    QApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  return condition();
}

// A line sent through the relay and read back (the example rules end at an echo service).
bool sendThrough(uint16_t port) {
  const int fd = test_support::connectLocal(port);
  if (fd < 0) return false;
  const std::string line = "a line through the relay\n";
  test_support::sendAll(fd, line);
  const bool echoed = test_support::receive(fd, line.size(), std::chrono::seconds(10)) == line;
  ::close(fd);
  return echoed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: brisklane-screenshots FOLDER [PORT]\n");
    return 2;
  }
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  Q_INIT_RESOURCE(resources);
  shots::Album album(QString::fromLocal8Bit(argv[1]));
  if (!album.ready()) return 1;
  const uint16_t port = argc > 2 ? static_cast<uint16_t>(std::atoi(argv[2])) : 0;

  ui::RelayBridge bridge;
  relay::Relay relay(&bridge);
  // As "brisklane sniffer": the relayed bytes reach the buffer view.
  relay.loadSettings(platform::Hive::kCurrentUser, true);
  ui::MainWindow::Options options;
  // The about box lists the program's files: those beside brisklane when BKL_BIN_DIR names them.
  const QString bin = qEnvironmentVariable("BKL_BIN_DIR", QCoreApplication::applicationDirPath());
  options.programFolder = bin.toStdString();
  options.toolbarSize = config::toolbarSize(relay.editableSettings());
  ui::MainWindow window(&relay, &bridge, options);
  window.create();
  window.resize(780, 440);

  // Each dialog a command opens is photographed under the name given before the command.
  QString nextName = "dialog";
  ui::setModalHook([&](QDialog* dialog) {
    if (auto* files = qobject_cast<QFileDialog*>(dialog)) {
      files->setOption(QFileDialog::DontUseNativeDialog);  // a native one cannot be grabbed
    }
    album.take(dialog, nextName);
    return static_cast<int>(QDialog::Rejected);
  });

  // The certificate dialogs and the buffer view, built before the traffic so that the view
  // takes the bytes the line below relays.
  const auto certificateShots = makeCertificateShots(&window, &bridge);
  window.dispatch(ui::kCmdOpen);
  if (port != 0 && !sendThrough(port)) {
    album.fail("no answer through the relay on port " + QString::number(port));
  }
  // The status line is written every five seconds; the first one with traffic is waited for.
  waitFor([&] { return window.statusText() != "Brisklane 4"; }, 12000);
  waitFor([&] { return window.logModel()->rowCount() > 3; }, 3000);
  album.take(&window, "main-window");

  // The tray menu, as a right click on the icon opens it (beneath the icon, where the tray host
  // tells where that is).
  QMenu* menu = window.trayMenu();
  const QRect icon = window.trayIcon() != nullptr ? window.trayIcon()->geometry() : QRect();
  menu->popup(icon.isValid() ? icon.bottomLeft() - QPoint(menu->sizeHint().width(), 0)
                             : window.geometry().center());
  waitFor([&] { return menu->isVisible(); }, 3000);
  album.take(menu, "tray-menu");
  if (QGuiApplication::platformName() == "xcb") {
    // The whole screen: the icon in the tray host's panel, the menu open beneath it.
    album.takeScreen("desktop-tray");
  }
  menu->hide();

  auto* list = window.findChild<QListView*>("logList");
  if (list != nullptr && window.logModel()->rowCount() > 0) {
    nextName = "log-line";
    emit list->doubleClicked(window.logModel()->index(window.logModel()->rowCount() - 1));
  }
  nextName = "save-log";
  window.dispatch(ui::kCmdSaveLog);
  nextName = "about";
  window.dispatch(ui::kCmdAbout);

  // The rules and settings dialogs, each page on its own, and the certificate dialogs, filled
  // with example content.
  QStringList names = {"main-window", "tray-menu", "log-line", "save-log", "about"};
  std::vector<std::pair<std::string, QWidget*>> shots = makeDialogShots(&window);
  shots.insert(shots.end(), certificateShots.begin(), certificateShots.end());
  for (const auto& [file, widget] : shots) {
    const QString name = QString::fromStdString(file).remove(QRegularExpression("\\.png$"));
    album.take(widget, name);
    names << name;
  }
  album.expect(names);
  window.shutdown();
  return album.failures() == 0 ? 0 : 1;
}
