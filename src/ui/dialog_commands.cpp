#include "ui/dialog_commands.h"

#include "config/rules.h"
#include "config/settings.h"
#include "log/log.h"
#include "platform/registry.h"
#include "ui/commands.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/rules_dialog.h"
#include "ui/settings_sheet.h"

namespace ui {
namespace {

constexpr char kModule[] = "driver";

// A store that cannot be written leaves the change in force until the program ends; the user is
// told so, since it would be gone at the next start.
void reportStoreFailure(QWidget* parent, const char* what, long rc) {
  const std::string file = platform::hiveFilePath(config::ccSettings.rootKey);
  log_event(LOG_ERROR, 0x6001, kModule, __LINE__, "Couldn't store the %s in %s: error %ld", what,
            file.c_str(), rc);
  MessageBox::show(parent, QMessageBox::Warning, "Brisklane 4",
                   QString("The %1 could not be stored in %2; the changes apply until the program "
                           "ends.")
                       .arg(what)
                       .arg(QString::fromStdString(file)));
}

}  // namespace

bool runRulesCommand(QWidget* parent, const std::string& programFolder) {
  if (runRulesDialog(parent, &config::ruleTable, programFolder) == 0) return false;
  if (const long rc = config::saveAllRules(&config::ruleTable); rc != 0) {
    reportStoreFailure(parent, "rules", rc);
  }
  return true;
}

bool runSettingsCommand(QWidget* parent, MainWindow* window) {
  SettingsSheet::LogFont font{[window] { return window->logFont(); },
                              [window](const QFont& f) { window->setLogFont(f); }};
  switch (runSettingsSheet(parent, &config::ccSettings, std::move(font), window->programFolder())) {
    case SettingsSheet::Outcome::kCancelled:
      return false;
    case SettingsSheet::Outcome::kEndProgram:
      window->dispatch(kCmdExit);
      return false;
    case SettingsSheet::Outcome::kConfirmed:
      break;
  }
  if (const long rc = config::saveSettings(config::ccSettings.rootKey, config::ccSettings);
      rc != 0) {
    reportStoreFailure(parent, "settings", rc);
  }
  return true;
}

}  // namespace ui
