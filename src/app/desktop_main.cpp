// brisklane: the desktop program. The command line's words, the settings, the main window hidden
// (the program lives in the tray), the relay through its object, and the event loop until Exit;
// SIGTERM or SIGINT (the session ending) run the same shutdown steps as Exit.
#include <QApplication>
#include <QPointer>
#include <QSocketNotifier>

#include "config/settings.h"
#include "first_start.h"
#include "heap.h"
#include "log/fatal_signal.h"
#include "platform/process_info.h"
#include "platform/signal_pipe.h"
#include "platform/socket_errors.h"
#include "platform/system.h"
#include "platform/user_files.h"
#include "relay/relay.h"
#include "ui/buffer_view.h"
#include "ui/client_certificate_dialog.h"
#include "ui/command_line.h"
#include "ui/commands.h"
#include "ui/dialog_commands.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/passphrase_dialog.h"
#include "ui/relay_bridge.h"
#include "ui/single_instance.h"

int main(int argc, char** argv) {
  const ui::CommandLine words = ui::readCommandLine(ui::joinArguments(argc, argv));
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);  // the window hides; the tray stays
  Q_INIT_RESOURCE(resources);
  installFatalSignalReport();
  platform::raiseDescriptorLimit();
  platform::installControlSignals();
  platform::receiveControlSignalsHere();  // the window's loop watches them (see below)
  // A write to a socket whose peer has gone must fail with EPIPE, not end the program.
  platform::ignoreSigpipe();
  // Many connections, each making and freeing a connection's worth of memory (see heap.h).
  app::tuneHeapForRelaying();

  // One program per user and store: a second one shows the first's window and ends.
  ui::SingleInstance instance(words.root);
  if (!instance.claim()) return 0;

  ui::RelayBridge bridge;
  relay::Relay relay(&bridge);
  relay.setMemoryReturn(app::returnFreeMemory, app::returnOwedMemory);
  if (const std::string refused = app::prepareStore(words.root, &relay); !refused.empty()) {
    ui::MessageBox::show(nullptr, QMessageBox::Critical, "Brisklane 4",
                         QString::fromStdString(refused));
    return 1;
  }
  relay.loadSettings(words.root, words.sniffer);
  if (words.toolbarSize != 0) relay.setToolbarSize(words.toolbarSize);
  // The relay hands chunks to the bridge only under "sniffer"; the view exists only then, before
  // the main window, and goes when it is closed.
  QPointer<ui::BufferView> view;
  if (words.sniffer) {
    view = new ui::BufferView();
    view->setAttribute(Qt::WA_DeleteOnClose);
    view->takeChunksFrom(&bridge);
    view->show();
  }

  ui::MainWindow::Options options;
  options.programFolder = platform::programDirectory();
  options.toolbarSize = config::toolbarSize(relay.editableSettings());
  ui::MainWindow window(&relay, &bridge, options);
  // The two questions of the connection threads, answered on the window thread by the dialogs
  // the main window owns.
  bridge.setPassphraseAsker(
      [&window](const std::string& prompt) { return ui::askPassphraseDialog(&window, prompt); });
  // Client certificates are offered from the program's folder and the user's certificate folder.
  const std::vector<std::string> certificateFolders = {options.programFolder,
                                                       platform::certificateFolder(words.root)};
  bridge.setCertificateAsker(
      [&window, certificateFolders](const std::string& subject, relay::ClientCredentials* out) {
        return ui::askClientCertificate(&window, certificateFolders, subject, out);
      });
  QSocketNotifier controlSignals(platform::controlSignalDescriptor(), QSocketNotifier::Read);
  QObject::connect(&controlSignals, &QSocketNotifier::activated, &window, [&window, &relay] {
    switch (platform::readControlSignal()) {
      case platform::ControlSignal::kStop:
        window.dispatch(ui::kCmdExit);
        break;
      case platform::ControlSignal::kReload:
        relay.reload();
        break;
      case platform::ControlSignal::kStatus:
        break;
    }
  });
  QObject::connect(&instance, &ui::SingleInstance::showRequested, &window,
                   [&window] { window.dispatch(ui::kCmdOpen); });
  window.create();
  const int rc = QApplication::exec();
  delete view.data();  // unless it was closed (and so deleted) before
  return rc;
}
