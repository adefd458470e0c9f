// brisklane: the desktop program. The command line's words, the settings, the main window hidden
// (the program lives in the tray), the relay through the relay service, and the event loop until
// Exit; SIGTERM or SIGINT (the session ending) run the same shutdown steps as Exit.
#include <QApplication>
#include <QSocketNotifier>

#include "config/settings.h"
#include "log/fatal_signal.h"
#include "platform/process_info.h"
#include "platform/signal_pipe.h"
#include "platform/system.h"
#include "relay/relay_service.h"
#include "ui/command_line.h"
#include "ui/dialog_commands.h"
#include "ui/main_window.h"
#include "ui/relay_bridge.h"

int main(int argc, char** argv) {
  const ui::CommandLine words = ui::readCommandLine(ui::joinArguments(argc, argv));
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);  // the window hides; the tray stays
  Q_INIT_RESOURCE(resources);
  installFatalSignalReport();
  platform::raiseDescriptorLimit();
  platform::installControlSignals();

  ui::RelayBridge bridge;
  relay::RelayService service(&bridge);
  service.loadSettings(words.root, words.sniffer);
  if (words.toolbarSize != 0) config::setToolbarSize(words.toolbarSize);

  ui::MainWindow::Options options;
  options.programFolder = platform::programDirectory();
  options.toolbarSize = config::toolbarSize();
  ui::MainWindow window(&service, &bridge, options);
  QSocketNotifier controlSignals(platform::controlSignalDescriptor(), QSocketNotifier::Read);
  QObject::connect(&controlSignals, &QSocketNotifier::activated, &window, [&window, &service] {
    switch (platform::readControlSignal()) {
      case platform::ControlSignal::kStop:
        window.dispatch(8);  // Exit
        break;
      case platform::ControlSignal::kReload:
        service.reload();
        break;
      case platform::ControlSignal::kStatus:
        break;
    }
  });
  window.create();
  return QApplication::exec();
}
