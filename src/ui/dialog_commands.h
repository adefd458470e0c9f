// The Rules (1003) and Settings (1024) commands of the main window: each runs its dialog and, when
// it ends with OK, stores what it changed and returns true, after which the main window restarts
// the relay. Window thread.
#pragma once

#include <QWidget>
#include <string>

namespace ui {

class MainWindow;

// The rules list on the rules table; after OK the table is stored.
bool runRulesCommand(QWidget* parent, const std::string& programFolder);
// The settings sheet on the settings record, with the window's log font; after OK the record is
// saved. A change of thread reuse that the user accepted ends the program (false: no restart).
bool runSettingsCommand(QWidget* parent, MainWindow* window);

}  // namespace ui
