#include "ui/dialog_commands.h"

#include "config/rules.h"
#include "config/settings.h"
#include "ui/commands.h"
#include "ui/main_window.h"
#include "ui/rules_dialog.h"
#include "ui/settings_sheet.h"

namespace ui {

PassphraseMemory passphraseMemoryOf(relay::Relay* relay) {
  if (relay == nullptr) return {};
  return PassphraseMemory{
      [relay] { return relay->passphrase(); },
      [relay](const std::string& phrase) { relay->rememberPassphrase(phrase); }};
}

bool runRulesCommand(QWidget* parent, relay::Relay* relay, const std::string& programFolder) {
  config::RuleTable rules = relay->editableRules();
  const RuleDialogContext context =
      ruleDialogContext(relay->editableSettings(), programFolder, passphraseMemoryOf(relay));
  if (runRulesDialog(parent, &rules, context) == 0) return false;
  relay->apply(rules);
  return true;
}

bool runSettingsCommand(QWidget* parent, relay::Relay* relay, MainWindow* window) {
  SettingsSheet::LogFont font{[window] { return window->logFont(); },
                              [window](const QFont& f) { window->setLogFont(f); }};
  config::Settings settings = relay->editableSettings();
  switch (runSettingsSheet(parent, &settings, std::move(font), window->programFolder(),
                           relay->cipherNames())) {
    case SettingsSheet::Outcome::kCancelled:
      return false;
    case SettingsSheet::Outcome::kEndProgram:
      window->dispatch(kCmdExit);
      return false;
    case SettingsSheet::Outcome::kConfirmed:
      break;
  }
  relay->apply(settings);
  return true;
}

}  // namespace ui
