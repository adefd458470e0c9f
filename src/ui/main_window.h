// The desktop program's one top-level window, "Brisklane 4": menus, the toolbar, the log list and
// the status bar, and the tray icon it normally lives in. It runs the program's start-up steps
// that need a window (`create`), dispatches every command by its id, shows what the relay reports
// (log lines, the five-second status), and runs the shutdown steps when the program ends.
//
// Window thread only. The relay is driven through its object (relay/relay.h); nothing here waits
// for the network or for another thread: a change the dialogs hand to the relay runs on the
// relay's thread, with a wait cursor shown (and Settings and Rules unavailable) until it ends.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QSystemTrayIcon>
#include <memory>
#include <string>

#include "relay/relay.h"
#include "ui/log_model.h"
#include "ui/relay_bridge.h"
#include "ui/stored_values.h"

class QAction;
class QLabel;
class QMenu;
class QToolBar;

namespace Ui {
class MainWindow;
}

namespace ui {

class MainWindow final : public QMainWindow {
  Q_OBJECT

 public:
  struct Options {
    std::string programFolder;  // where the about box looks for files, and the help page
    uint32_t toolbarSize = 48;  // 16, 32 or 48
  };
  MainWindow(relay::Relay* relay, RelayBridge* bridge, Options options);
  ~MainWindow() override;

  // The start-up steps of the window: toolbar, status bar, log list and its font, the stored
  // place, then the relay (its start), then the tray icon. False when the relay could not start.
  bool create();
  // The shutdown steps: the window's place saved (unless minimised or maximised), the relay
  // stopped, the tray icon removed; then the event loop ends. Runs once.
  void shutdown();

  // Runs a command by its id (menus, toolbar and tray menu all come here).
  void dispatch(int command);
  // The action of a command (tests find actions by id).
  QAction* action(int command) const;

  // The log list's font; the settings sheet's "Log font" replaces it (and stores it itself).
  QFont logFont() const;
  void setLogFont(const QFont& font);
  const std::string& programFolder() const { return options_.programFolder; }

  LogModel* logModel() { return &model_; }
  QString statusText() const;
  int trayIconId() const { return trayIconId_; }
  QSystemTrayIcon* trayIcon() const { return tray_.get(); }
  QMenu* trayMenu() const { return trayMenu_.get(); }
  QToolBar* toolBar() const { return toolBar_; }

  // The status update of each tick: the text when it changed, the tray icon when activity
  // started or stopped.
  void updateStatus(const QString& text, quint64 bytesUp, quint64 bytesDown);
  // Writes the log list to a file, as Save As does after its dialog. 0 or the failure code.
  int saveLogTo(const QString& path);
  // True while a change the dialogs handed to the relay has not ended.
  bool changing() const { return changesPending_ > 0; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void makeActions();
  void makeToolBar(uint32_t size);
  void makeTray();
  void restorePlace();
  void takeLines();
  void openWindow();
  void saveLogAs();
  void showHelp();
  // After the Settings or Rules dialog: when it handed a change to the relay, the window waits for
  // its end without blocking.
  void afterDialog(bool handedOver);
  void changeFinished(const relay::ChangeResult& result);
  // The start found no port to listen on: the status line and a message say why.
  void tellNotServing(const relay::ChangeResult& result);
  void showLine(const QModelIndex& index);

  std::unique_ptr<Ui::MainWindow> form_;
  relay::Relay* relay_;
  RelayBridge* bridge_;
  Options options_;
  LogModel model_;
  QLabel* status_ = nullptr;
  QToolBar* toolBar_ = nullptr;
  std::unique_ptr<QSystemTrayIcon> tray_;
  std::unique_ptr<QMenu> trayMenu_;
  int trayIconId_ = 121;
  QString lastStatus_;
  quint64 lastUp_ = 0;
  quint64 lastDown_ = 0;
  WindowPlace placeAtStart_;
  bool shutDown_ = false;
  int changesPending_ = 0;
  // Set while the relay serves no port of its rules: the status line says so before the figures.
  QString notServing_;
};

}  // namespace ui
