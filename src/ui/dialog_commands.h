// The Rules (1003) and Settings (1024) commands of the main window: each runs its dialog on a copy
// of what the relay runs and, when it ends with OK, hands the copy to the relay, which stores it
// and restarts on it away from the window thread (the main window hears the end through the
// relay's observer). Window thread.
#pragma once

#include <QWidget>
#include <string>

#include "relay/relay.h"
#include "ui/passphrase_memory.h"

namespace ui {

class MainWindow;

// The relay's remembered pass phrase, for the window's own PKCS#12 readers.
PassphraseMemory passphraseMemoryOf(relay::Relay* relay);

// The rules list on a copy of the relay's rules; true when OK handed the copy to the relay.
bool runRulesCommand(QWidget* parent, relay::Relay* relay, const std::string& programFolder);
// The settings sheet on a copy of the relay's settings, with the window's log font; true when OK
// handed the copy to the relay. A change of thread reuse that the user accepted ends the program
// (false: no change).
bool runSettingsCommand(QWidget* parent, relay::Relay* relay, MainWindow* window);

}  // namespace ui
