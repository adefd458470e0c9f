// The desktop program's main window, offscreen: command-line words, the commands, the log list
// and its file, the stored place and font, the status line and the tray icon with real traffic.
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QListView>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "log/log.h"
#include "ui/about_dialog.h"
#include "ui/command_line.h"
#include "ui/commands.h"
#include "ui/help.h"
#include "ui/log_file.h"
#include "ui/message_box.h"
#include "ui/message_dialog.h"
#include "ui/modal.h"
#include "ui/stored_values.h"
#include "ui/ui_test_support.h"

using ui_test::DesktopProgram;
using ui_test::TestStore;

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void commandLineWords();
  void commandsActAndOpenTheirDialogs();
  void logListTrimsAndSavesSections();
  void logLinesFromManyThreadsStayBoundedAndTheWindowAnswers();
  void doubleClickShowsTheLineOnly();
  void placeIsRestoredSavedOnlyWhenChangedAndBroughtOnScreen();
  void logFontIsTakenOnlyAtItsSize();
  void trayIconShowsTrafficAndGoesIdle();
  void aboutBoxListsProgramsThenLibraries();
  void keysClicksAndOpenersAsTheDesktopHasThem();
  void aRelayThatCannotListenSaysSo();
};

void MainWindowTest::commandLineWords() {
  const ui::CommandLine both = ui::readCommandLine("large small");
  QCOMPARE(both.toolbarSize, 16u);  // "small" is looked for first
  QCOMPARE(ui::readCommandLine("large medium").toolbarSize, 32u);
  QCOMPARE(ui::readCommandLine("Small").toolbarSize, 0u);  // case-sensitive
  QCOMPARE(ui::readCommandLine("x-localmachine-y").root, platform::Hive::kLocalMachine);
  QCOMPARE(ui::readCommandLine("sniffer").sniffer, true);
  QCOMPARE(ui::readCommandLine("").root, platform::Hive::kCurrentUser);
}

void MainWindowTest::commandsActAndOpenTheirDialogs() {
  TestStore store;
  store.binary("ssl.passwd", std::string("remembered", 11));
  DesktopProgram program;
  ui::MainWindow& w = program.window();
  QCOMPARE(w.windowTitle(), QString("Brisklane 4"));
  QCOMPARE(w.statusText(), QString("Brisklane 4"));
  for (int id : {2, 8, 9, 1003, 1024, 1026, 1064, 40005, 40006, 40007}) {
    QVERIFY2(w.action(id) != nullptr, std::to_string(id).c_str());
  }
  QCOMPARE(w.toolBar()->actions().size(), 3);
  QCOMPARE(w.toolBar()->actions()[1]->toolTip(), QString("Rules"));
  QCOMPARE(w.toolBar()->iconSize(), QSize(48, 48));

  w.dispatch(ui::kCmdHide);
  QVERIFY(!w.isVisible());
  w.dispatch(ui::kCmdOpen);
  QVERIFY(w.isVisible());
  QCOMPARE(program.relay().passphrase(), std::string("remembered"));
  w.dispatch(ui::kCmdClearKeys);
  QCOMPARE(program.relay().passphrase(), std::string());

  // Settings, Rules and About open their dialogs (Cancel leaves the relay as it runs).
  QStringList titles;
  ui::setModalHook([&titles](QDialog* d) {
    titles << d->windowTitle();
    return d->windowTitle() == "About Brisklane" ? QDialog::Accepted : QDialog::Rejected;
  });
  w.dispatch(ui::kCmdSettings);
  w.dispatch(ui::kCmdRules);
  w.dispatch(ui::kCmdAbout);
  QCOMPARE(titles, QStringList({"Settings", "Brisklane Configuration", "About Brisklane"}));
  ui::setModalHook(nullptr);
  w.dispatch(ui::kCmdExit);
  QVERIFY(!log_streams_live());
}

void MainWindowTest::logListTrimsAndSavesSections() {
  TestStore store;
  store.setting("log.max", 5);
  DesktopProgram program;
  ui::MainWindow& w = program.window();

  w.dispatch(ui::kCmdClearLog);
  for (int i = 0; i < 10; ++i) log_event(LOG_INFO, 0x6001, "test", i, "line %d", i);
  QTRY_COMPARE(w.logModel()->rowCount(), 6);  // max + 1
  QCOMPARE(w.logModel()->line(0), std::string("line 4"));
  // A line with control characters and invalid UTF-8 is kept as it is and shown.
  log_event(LOG_INFO, 0x6001, "test", 0, "%s", "bell\a and \xff\xfe end");
  QTRY_COMPARE(ui::LogModel::shown(w.logModel()->line(5)), QString("bell^G and \uFFFD\uFFFD end"));

  const std::string file = store.file("saved.log");
  QCOMPARE(w.saveLogTo(QString::fromStdString(file)), 0);
  QCOMPARE(w.saveLogTo(QString::fromStdString(file)), 0);
  const std::string text = test_support::readFile(file);
  QCOMPARE(test_support::countText(text, "\n\n-----New Log ----"), 2);
  QCOMPARE(test_support::countText(text, "line 6\r\n"), 2);
  QVERIFY(text.find("bell\a and \xff\xfe end\r\n") != std::string::npos);
  // An empty list writes nothing: the file stays as it was.
  w.dispatch(ui::kCmdClearLog);
  QCOMPARE(w.saveLogTo(QString::fromStdString(file)), ui::kLogWriteFailed);
  QCOMPARE(test_support::readFile(file), text);
  QCOMPARE(ui::writeLogFile({"x"}, store.file("no/such/folder/x.log"), true), ui::kLogWriteFailed);
}

void MainWindowTest::logLinesFromManyThreadsStayBoundedAndTheWindowAnswers() {
  TestStore store;
  store.setting("log.max", 1000);
  DesktopProgram program;
  ui::MainWindow& w = program.window();
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 8; ++t) {
    writers.emplace_back([&stop, t] {
      // About 10,000 lines a second in all, for a second.
      for (int i = 0; i < 1250 && !stop; ++i) {
        log_event(LOG_INFO, 0x6001, "flood", t, "thread %d line %d", t, i);
        std::this_thread::sleep_for(std::chrono::microseconds(800));
      }
    });
  }
  // The window thread keeps answering while the lines pour in.
  int ticks = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
  timer.start(50);
  QTest::qWait(1500);
  stop = true;
  for (std::thread& t : writers) t.join();
  QVERIFY2(ticks >= 15, std::to_string(ticks).c_str());
  QTRY_VERIFY(w.logModel()->rowCount() > 0);
  QVERIFY(w.logModel()->rowCount() <= 1001 + 8);
}

void MainWindowTest::doubleClickShowsTheLineOnly() {
  TestStore store;
  DesktopProgram program;
  ui::MainWindow& w = program.window();
  w.dispatch(ui::kCmdClearLog);
  QString shown;
  int dialogs = 0;
  ui::setModalHook([&](QDialog* d) {
    ++dialogs;
    if (auto* m = qobject_cast<ui::MessageDialog*>(d)) shown = m->text();
    return QDialog::Accepted;
  });
  auto* list = w.findChild<QListView*>("logList");
  QVERIFY(list != nullptr);
  emit list->doubleClicked(QModelIndex());  // an empty list: nothing to show
  QCOMPARE(dialogs, 0);
  log_event(LOG_ERROR, 0x6044, "proxy", 1, "SSL_accept (%d) failed for %s.%d", 1, "10.0.0.1", 7);
  QTRY_COMPARE(w.logModel()->rowCount(), 1);
  emit list->doubleClicked(w.logModel()->index(0));
  QCOMPARE(dialogs, 1);
  QCOMPARE(shown, QString("SSL_accept (1) failed for 10.0.0.1.7"));
  ui::setModalHook(nullptr);
}

void MainWindowTest::placeIsRestoredSavedOnlyWhenChangedAndBroughtOnScreen() {
  TestStore store;
  const std::string hive = store.file("user.reg");
  {
    DesktopProgram program;
    program.window().move(120, 80);
    program.window().resize(640, 360);
  }  // the shutdown saves the place
  {
    DesktopProgram program;
    QCOMPARE(program.window().pos(), QPoint(120, 80));
    QCOMPARE(program.window().size(), QSize(640, 360));
    const auto written = std::filesystem::last_write_time(hive);
    program.window().dispatch(ui::kCmdExit);  // unchanged: nothing is written
    QCOMPARE(std::filesystem::last_write_time(hive), written);
  }
  {
    DesktopProgram program;
    program.window().resize(300, 200);
    program.window().showMaximized();
    QTRY_VERIFY(program.window().isMaximized());
    const std::string before = test_support::readFile(hive);
    program.window().dispatch(ui::kCmdExit);  // maximised: nothing is written
    QCOMPARE(test_support::readFile(hive), before);
  }
  store.setting("pos.x", 90000);
  store.setting("pos.y", 90000);
  DesktopProgram lost;
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  QVERIFY(screen.contains(lost.window().pos()));
}

void MainWindowTest::logFontIsTakenOnlyAtItsSize() {
  QFont courier("Courier");
  courier.setPixelSize(13);
  const ui::FontRecord record = ui::recordOfFont(courier);
  const std::string bytes(reinterpret_cast<const char*>(record.data()), record.size());
  TestStore store;
  store.binary("log.font", bytes.substr(0, 59));
  QVERIFY(!ui::loadLogFont());
  store.binary("log.font", bytes + "x");
  QVERIFY(!ui::loadLogFont());
  store.setting("log.font", std::string("a text"));
  QVERIFY(!ui::loadLogFont());
  store.binary("log.font", bytes);
  const std::optional<QFont> font = ui::loadLogFont();
  QVERIFY(font);
  QCOMPARE(font->family(), QString("Courier"));
  QCOMPARE(font->pixelSize(), 13);
  DesktopProgram program;
  QCOMPARE(program.window().findChild<QListView*>("logList")->font().pixelSize(), 13);
}

void MainWindowTest::trayIconShowsTrafficAndGoesIdle() {
  TestStore store;
  const uint16_t echo = test_support::freePort();
  test_support::Process peer = test_support::echoService(echo, store.file("socat.log"));
  QVERIFY(test_support::waitForPort(echo));
  const uint16_t port = test_support::freePort();
  store.rule(1, port, echo);
  DesktopProgram program;
  ui::MainWindow& w = program.window();
  QCOMPARE(w.trayIconId(), ui::kIconIdle);
  QCOMPARE(w.trayIcon()->toolTip(), QString("Brisklane 4"));
  QCOMPARE(w.trayMenu()->actions().size(), 4);
  QCOMPARE(w.trayMenu()->actions()[1]->text(), QString("&Clear Keys"));
  QVERIFY(test_support::waitForPort(port));
  const int fd = test_support::connectLocal(port);
  test_support::sendAll(fd, "moving bytes");
  QCOMPARE(test_support::receive(fd, 12), std::string("moving bytes"));
  // The seeding thread's next tick sees the bytes; the one after it sees none.
  QTRY_COMPARE_WITH_TIMEOUT(w.trayIconId(), static_cast<int>(ui::kIconActive), 12000);
  QVERIFY(w.statusText().contains(" bytes."));
  QTRY_COMPARE_WITH_TIMEOUT(w.trayIconId(), static_cast<int>(ui::kIconIdle), 12000);
  ::close(fd);
}

void MainWindowTest::aboutBoxListsProgramsThenLibraries() {
  test_support::TempDir folder;
  for (int i = 0; i < 40; ++i) {
    const std::string name = folder.file("prog" + std::to_string(100 + i));
    std::ofstream(name) << "#!/bin/sh\n";
    std::filesystem::permissions(name, std::filesystem::perms::owner_all);
  }
  std::ofstream(folder.file("libthing.so.1")) << "no version here";
  std::filesystem::copy_file(test_support::binDir() + "/brisklaned", folder.file("brisklaned"));
  const std::vector<ui::FileRow> rows = ui::aboutFileRows(folder.path());
  QCOMPARE(rows.size(), size_t{31 + 1 + 1});
  QCOMPARE(rows[0].first, std::string("brisklaned"));
  QCOMPARE(rows[0].second, std::string(BKL_VERSION ".0"));
  QCOMPARE(rows[1], (ui::FileRow{"prog100", "<unknown>"}));
  QCOMPARE(rows[31], (ui::FileRow{"libthing.so.1", "<unknown>"}));
  QCOMPARE(rows[32], (ui::FileRow{"COMCTL32", "<unknown>"}));
  ui::AboutDialog about(nullptr, folder.path());
  QCOMPARE(about.windowTitle(), QString("About Brisklane"));
  QCOMPARE(about.shownRows().size(), rows.size());
}

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"

// F1 is Help, the Quit key is Exit, a click on the tray icon opens the window; Help and the web
// command go to the desktop's opener, and where it cannot open them a box shows the path or the
// address.
void MainWindowTest::keysClicksAndOpenersAsTheDesktopHasThem() {
  TestStore store;
  DesktopProgram program;
  ui::MainWindow& w = program.window();
  QCOMPARE(w.action(ui::kCmdHelp)->shortcut(), QKeySequence(QKeySequence::HelpContents));
  QCOMPARE(w.action(ui::kCmdExit)->shortcut(), QKeySequence(QKeySequence::Quit));
  w.hide();
  emit w.trayIcon()->activated(QSystemTrayIcon::Trigger);
  QVERIFY(w.isVisible());

  QList<QUrl> asked;
  bool opens = true;
  ui::setAddressOpener([&](const QUrl& address) {
    asked << address;
    return opens;
  });
  const int boxes = ui::MessageBox::count();
  w.dispatch(ui::kCmdHelp);
  QCOMPARE(asked.size(), 1);
  QVERIFY2(asked[0].toLocalFile().endsWith("/help/index.html"), qPrintable(asked[0].toString()));
  QCOMPARE(ui::MessageBox::count(), boxes);
  opens = false;
  ui::MessageBox::setNextAnswer(QMessageBox::Ok);
  w.dispatch(ui::kCmdHelp);
  QCOMPARE(ui::MessageBox::count(), boxes + 1);
  QCOMPARE(ui::MessageBox::lastInformative(), asked[1].toLocalFile());
  ui::MessageBox::setNextAnswer(QMessageBox::Ok);
  w.dispatch(ui::kCmdWeb);
  QCOMPARE(ui::MessageBox::lastInformative(), asked[2].toString());
  ui::setAddressOpener(nullptr);
  w.dispatch(ui::kCmdExit);
}

// Every port of the rules taken by another program: the window says so in its status line and in
// a box that names the ports, and the figures that follow keep the word.
void MainWindowTest::aRelayThatCannotListenSaysSo() {
  TestStore store;
  const uint16_t port = test_support::freePort();
  test_support::Process holder(
      {"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,fork", "EXEC:cat"},
      store.file("holder.log"));
  QVERIFY(test_support::waitForPort(port));
  store.rule(1, port, test_support::freePort());
  ui::MessageBox::setNextAnswer(QMessageBox::Ok);
  const int boxes = ui::MessageBox::count();
  DesktopProgram program;
  ui::MainWindow& w = program.window();
  QCOMPARE(ui::MessageBox::count(), boxes + 1);
  const QString why = "None of the rules' ports could be listened on: the relay could not start";
  QCOMPARE(ui::MessageBox::lastText(), why);
  QCOMPARE(ui::MessageBox::lastInformative(),
           QString("Port %1 could not be listened on").arg(port));
  QCOMPARE(w.statusText(), why);
  w.updateStatus("0. 0/0 client", 0, 0);
  QVERIFY(w.statusText().startsWith(why));
  w.dispatch(ui::kCmdExit);
  holder.stop();
}
