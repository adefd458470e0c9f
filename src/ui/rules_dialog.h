// "Brisklane Configuration": the list of the rules, one description per line in rule order, with
// New, Edit, Delete, Up and Down. The list works on references of its own: the table (the front
// end's copy of the relay's rules) is changed only by OK, which hands the list's rules to it;
// Cancel leaves it exactly as it was. The dialog stores nothing: its owner hands the table to the
// relay after OK. Window thread.
#pragma once

#include <QDialog>
#include <QStringList>
#include <memory>
#include <string>
#include <vector>

#include "config/rules.h"
#include "ui/rule_form.h"

namespace Ui {
class RulesDialog;
}

namespace ui {

class RulesDialog final : public QDialog {
  Q_OBJECT

 public:
  // Takes a reference to every rule of `table`, in order.
  RulesDialog(QWidget* parent, config::RuleTable* table, RuleDialogContext context);
  // Gives the list's references back, from the last line to the first.
  ~RulesDialog() override;

  QStringList lines() const;
  // The rule of a line (tests).
  const config::ccRule* ruleAt(int line) const;

  void accept() override;

 private:
  int selectedLine() const;
  void insertLine(int at, config::RuleRef rule);
  void newRule();
  void editRule();
  void deleteRule();
  void moveRule(int by);

  std::unique_ptr<Ui::RulesDialog> form_;
  config::RuleTable* table_;
  RuleDialogContext context_;
  std::vector<config::RuleRef> rules_;  // one per line, in line order
};

// Runs the dialog modally on `table`: 1 when it ended with OK (the table holds the list's rules),
// else 0 (the table is as it was).
int runRulesDialog(QWidget* parent, config::RuleTable* table, const RuleDialogContext& context);

}  // namespace ui
