#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QStatusBar>
#include <QToolBar>
#include <QUrl>

#include "log/log.h"
#include "ui/about_dialog.h"
#include "ui/commands.h"
#include "ui/dialog_commands.h"
#include "ui/help.h"
#include "ui/log_file.h"
#include "ui/message_box.h"
#include "ui/message_dialog.h"
#include "ui/modal.h"
#include "ui/screen_fit.h"
#include "ui_main_window.h"

namespace ui {
namespace {

constexpr char kTitle[] = "Brisklane 4";

QIcon sizedIcon(const QString& name, std::initializer_list<int> sizes) {
  QIcon icon;
  for (int size : sizes)
    icon.addFile(QString(":/%1-%2.png").arg(name).arg(size), QSize(size, size));
  return icon;
}

QIcon trayPicture(int id) {
  return sizedIcon(id == kIconActive ? "icons/tray-active" : "icons/tray-idle",
                   {16, 22, 24, 32, 48});
}

}  // namespace

MainWindow::MainWindow(relay::Relay* relay, RelayBridge* bridge, Options options)
    : form_(std::make_unique<Ui::MainWindow>()),
      relay_(relay),
      bridge_(bridge),
      options_(std::move(options)) {
  form_->setupUi(this);
  setWindowTitle(kTitle);
  setWindowIcon(sizedIcon("icons/brisklane", {16, 22, 24, 32, 48, 64, 128, 256}));
  resize(500, 300);
  makeActions();
}

MainWindow::~MainWindow() { shutdown(); }

void MainWindow::makeActions() {
  const std::pair<QAction*, int> table[] = {
      {form_->actionClearKeys, kCmdClearKeys},
      {form_->actionHide, kCmdHide},
      {form_->actionExit, kCmdExit},
      {form_->actionSettings, kCmdSettings},
      {form_->actionRules, kCmdRules},
      {form_->actionClearLog, kCmdClearLog},
      {form_->actionSaveLog, kCmdSaveLog},
      {form_->actionHelp, kCmdHelp},
      {form_->actionWeb, kCmdWeb},
      {form_->actionAbout, kCmdAbout},
  };
  for (const auto& [action, id] : table) {
    action->setData(id);
    connect(action, &QAction::triggered, this, [this, id = id] { dispatch(id); });
  }
  // The desktop's own keys: F1 for the help, the Quit key (Ctrl+Q) for Exit.
  form_->actionHelp->setShortcut(QKeySequence::HelpContents);
  form_->actionExit->setShortcut(QKeySequence::Quit);
}

QAction* MainWindow::action(int command) const {
  for (QAction* a : findChildren<QAction*>()) {
    if (a->data().toInt() == command) return a;
  }
  return nullptr;
}

void MainWindow::makeToolBar(uint32_t size) {
  const int px = size == 16 || size == 32 ? static_cast<int>(size) : 48;
  toolBar_ = new QToolBar(this);
  toolBar_->setObjectName("toolBar");
  toolBar_->setMovable(false);
  toolBar_->setFloatable(false);
  toolBar_->setIconSize(QSize(px, px));
  const struct {
    const char* image;
    int command;
    const char* tooltip;
  } buttons[] = {{"settings", kCmdSettings, "Settings"},
                 {"rules", kCmdRules, "Rules"},
                 {"exit", kCmdExit, "Exit"}};
  for (const auto& b : buttons) {
    QAction* a =
        toolBar_->addAction(QIcon(QString(":/toolbar/%1-%2.png").arg(b.image).arg(px)), b.tooltip);
    a->setData(b.command);
    a->setToolTip(b.tooltip);
    connect(a, &QAction::triggered, this, [this, id = b.command] { dispatch(id); });
  }
  addToolBar(Qt::TopToolBarArea, toolBar_);
}

bool MainWindow::create() {
  makeToolBar(options_.toolbarSize);
  status_ = new QLabel(kTitle, this);
  statusBar()->addWidget(status_, 1);
  form_->logList->setModel(&model_);
  if (std::optional<QFont> font = loadLogFont()) form_->logList->setFont(*font);
  connect(form_->logList, &QListView::doubleClicked, this, &MainWindow::showLine);
  connect(bridge_, &RelayBridge::linesWaiting, this, &MainWindow::takeLines, Qt::QueuedConnection);
  connect(bridge_, &RelayBridge::statusArrived, this, &MainWindow::updateStatus,
          Qt::QueuedConnection);
  connect(bridge_, &RelayBridge::changeFinished, this, &MainWindow::changeFinished);
  restorePlace();
  const bool started = relay_->start();
  makeTray();
  takeLines();
  if (!started) tellNotServing(relay_->startResult());
  return started;
}

void MainWindow::restorePlace() {
  placeAtStart_ = loadWindowPlace();
  if (placeAtStart_.size) resize(*placeAtStart_.size);
  // A place or size from a larger screen, another scale factor or a screen that is gone would
  // leave the window (or part of it) out of reach: it is brought inside the screen it is on.
  QRect frame(placeAtStart_.position.value_or(pos()), size());
  bool onAScreen = false;
  for (const QScreen* screen : QGuiApplication::screens()) {
    onAScreen = onAScreen || screen->availableGeometry().contains(frame.center());
  }
  const QPoint near = onAScreen ? frame.center() : QPoint(0, 0);
  frame = keptInside(frame, roomOnScreen(this, near));
  resize(frame.size());
  if (placeAtStart_.position || frame.topLeft() != pos()) move(frame.topLeft());
}

void MainWindow::makeTray() {
  trayMenu_ = std::make_unique<QMenu>();
  const std::pair<const char*, int> items[] = {{"&Open", kCmdOpen},
                                               {"&Clear Keys", kCmdClearKeys},
                                               {"&About", kCmdAbout},
                                               {"&Exit", kCmdExit}};
  for (const auto& [text, id] : items) {
    QAction* a = trayMenu_->addAction(text);
    a->setData(id);
    connect(a, &QAction::triggered, this, [this, id = id] { dispatch(id); });
  }
  tray_ = std::make_unique<QSystemTrayIcon>(trayPicture(kIconIdle));
  tray_->setToolTip(kTitle);
  tray_->setContextMenu(trayMenu_.get());
  connect(tray_.get(), &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            // A click opens the window as Linux tray programs do; the double click too.
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
              dispatch(kCmdOpen);
            }
          });
  // Shown in any case: a tray that comes later (a session that starts its panel after the
  // program) takes the icon when it appears.
  tray_->show();
  if (QSystemTrayIcon::isSystemTrayAvailable()) return;
  // A program nobody can reach would be a fault: without a tray the window is the way in.
  log_event(LOG_WARNING, 0x6001, "driver", __LINE__,
            "No system tray on this desktop: the main window is shown instead");
  show();
}

void MainWindow::takeLines() {
  const std::vector<PendingLine> lines = bridge_->takeLines();
  if (lines.empty()) return;
  model_.append(lines);
  form_->logList->scrollToBottom();
}

void MainWindow::tellNotServing(const relay::ChangeResult& result) {
  notServing_ = "None of the rules' ports could be listened on: the relay could not start";
  status_->setText(notServing_);
  QString reasons;
  for (const std::string& problem : result.problems) {
    if (!reasons.isEmpty()) reasons += "\n";
    reasons += QString::fromStdString(problem);
  }
  MessageBox::show(this, QMessageBox::Warning, kTitle, notServing_, QMessageBox::Ok,
                   QMessageBox::Ok, reasons);
}

void MainWindow::updateStatus(const QString& text, quint64 bytesUp, quint64 bytesDown) {
  const QString shown = notServing_.isEmpty() ? text : notServing_ + ". " + text;
  if (shown != lastStatus_) {
    lastStatus_ = shown;
    status_->setText(shown);
  }
  const bool moved = bytesUp != lastUp_ || bytesDown != lastDown_;
  lastUp_ = bytesUp;
  lastDown_ = bytesDown;
  const int wanted = moved ? kIconActive : kIconIdle;
  if (wanted == trayIconId_) return;
  trayIconId_ = wanted;
  if (tray_) tray_->setIcon(trayPicture(wanted));
}

QFont MainWindow::logFont() const { return form_->logList->font(); }

void MainWindow::setLogFont(const QFont& font) { form_->logList->setFont(font); }

QString MainWindow::statusText() const { return status_ != nullptr ? status_->text() : kTitle; }

void MainWindow::openWindow() {
  // A minimised window is shown in its state and brought forward.
  if (isMinimized()) {
    showMinimized();
  } else {
    show();
  }
  raise();
  activateWindow();
}

void MainWindow::showLine(const QModelIndex& index) {
  if (!index.isValid()) return;
  const std::string& line = model_.line(index.row());
  MessageDialog::show(this, LogModel::shown(line.substr(0, 511)));
}

int MainWindow::saveLogTo(const QString& path) {
  return writeLogFile(model_.allLines(), path.toStdString(), true);
}

void MainWindow::saveLogAs() {
  QFileDialog dialog(this, "Select File to Write Log to");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilters({"LOG Files (*.log)", "Text Files (*.text)", "All Files (*.*)"});
  dialog.setOption(QFileDialog::DontConfirmOverwrite);  // the log is appended, never replaced
  if (runModal(&dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const QString path = dialog.selectedFiles().first();
  if (model_.rowCount() == 0) return;  // nothing to write, and the file stays as it was
  if (saveLogTo(path) != 0) {
    MessageBox::show(this, QMessageBox::Warning, kTitle,
                     QString("The log could not be written to %1.").arg(path));
  }
}

void MainWindow::showHelp() { ui::showHelp(this, options_.programFolder); }

void MainWindow::afterDialog(bool handedOver) {
  if (!handedOver) return;
  if (changesPending_++ == 0) QApplication::setOverrideCursor(Qt::WaitCursor);
  // A second edit would start from what runs now, not from the change under way.
  for (int command : {kCmdSettings, kCmdRules}) {
    for (QAction* a : findChildren<QAction*>()) {
      if (a->data().toInt() == command) a->setEnabled(false);
    }
  }
}

void MainWindow::changeFinished(const relay::ChangeResult& result) {
  using Kind = relay::ChangeResult::Kind;
  if (result.applied && result.listening > 0 && !notServing_.isEmpty()) {
    notServing_.clear();
    status_->setText(kTitle);
  }
  if (result.kind != Kind::kSettings && result.kind != Kind::kRules) return;
  if (changesPending_ > 0 && --changesPending_ == 0) {
    QApplication::restoreOverrideCursor();
    for (QAction* a : findChildren<QAction*>()) {
      const int command = a->data().toInt();
      if (command == kCmdSettings || command == kCmdRules) a->setEnabled(true);
    }
  }
  const char* what = result.kind == Kind::kSettings ? "settings" : "rules";
  if (result.storeError != 0) {
    // A store that cannot be written leaves the change in force until the program ends; the user
    // is told so, since it would be gone at the next start.
    MessageBox::show(
        this, QMessageBox::Warning, kTitle,
        QString("The %1 could not be stored in %2; the changes apply until the program "
                "ends.")
            .arg(what)
            .arg(QString::fromStdString(result.storeFile)));
  }
  if (!result.problems.empty()) {
    QString text = QString("The %1 are in force, but:").arg(what);
    for (const std::string& problem : result.problems) {
      text += "\n" + QString::fromStdString(problem);
    }
    MessageBox::show(this, QMessageBox::Warning, kTitle, text);
  }
}

void MainWindow::dispatch(int command) {
  switch (command) {
    case kCmdClearKeys:
      relay_->clearKeys();
      break;
    case kCmdHide:
      hide();
      break;
    case kCmdExit:
      shutdown();
      break;
    case kCmdSettings:
      afterDialog(runSettingsCommand(this, relay_, this));
      break;
    case kCmdRules:
      afterDialog(runRulesCommand(this, relay_, options_.programFolder));
      break;
    case kCmdClearLog:
      model_.clear();
      break;
    case kCmdSaveLog:
      saveLogAs();
      break;
    case kCmdHelp:
      showHelp();
      break;
    case kCmdWeb:
      openAddress(this, QUrl(kProductAddress));
      break;
    case kCmdAbout: {
      AboutDialog about(this, options_.programFolder);
      runModal(&about);
      break;
    }
    case kCmdOpen:
      openWindow();
      break;
    default:
      break;
  }
}

void MainWindow::shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  // The place as it is restored: the frame's corner and the window's own size.
  if (!isMinimized() && !isMaximized()) saveWindowPlace(QRect(pos(), size()), placeAtStart_);
  bridge_->refuseQuestions();
  relay_->shutdown();
  if (changesPending_ > 0) QApplication::restoreOverrideCursor();
  changesPending_ = 0;
  if (tray_) tray_->hide();
  tray_.reset();
  QApplication::quit();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // Closing the window hides it: the program lives on in the tray. Without a tray, closing ends it.
  if (tray_ && QSystemTrayIcon::isSystemTrayAvailable() && !shutDown_) {
    hide();
    event->ignore();
    return;
  }
  shutdown();
  event->accept();
}

}  // namespace ui
