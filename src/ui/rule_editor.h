// "Brisklane Rule": edits one rule, or makes a new one. The rule it is given is never changed: OK
// builds a new rule (one reference, handed to the caller) from the controls, Cancel gives none.
// A basic view shows the listening, source, destination, role, verify and certificate groups;
// "Advanced >>" adds the Disable Rule box and the Interface and Http Proxy groups. Dropping one
// certificate file on the dialog puts it into the Cert field. Window thread.
#pragma once

#include <QDialog>
#include <QList>
#include <QUrl>
#include <memory>
#include <string>

#include "config/rules.h"
#include "ui/rule_form.h"

class QComboBox;
class QScrollArea;

namespace Ui {
class RuleEditor;
}

namespace ui {

class RuleEditor final : public QDialog {
  Q_OBJECT

 public:
  // `rule` fills the controls (none: a new rule). Certificate and key files are offered from the
  // context's folder, hosts and ports from its lists.
  RuleEditor(QWidget* parent, const config::ccRule* rule, RuleDialogContext context);
  ~RuleEditor() override;

  // The rule OK built; empty until then, and after it was taken.
  config::RuleRef takeRule() { return std::move(built_); }
  bool advancedShown() const { return advanced_; }
  // What "Advanced >>" switches: the basic view, or the advanced one.
  void setAdvancedShown(bool shown);
  // What dropping these files on the dialog does.
  void dropFiles(const QList<QUrl>& urls);

  void accept() override;

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void fillLists();
  void fillFrom(const RuleForm& form, bool existing);
  void fillCertificateLists(const RuleForm& form);
  RuleForm readForm() const;
  void modeChanged();
  void chooseCertificate(const QString& path);
  void browseCertificate();
  void browseKey();
  void showSubject();
  void viewCertificate();
  void fillEmptyMask();
  // The dialog as large as what it shows, but no larger than the screen has room for: its
  // controls scroll then, and the buttons stay in reach.
  void fitToScreen();

  std::unique_ptr<Ui::RuleEditor> form_;
  QScrollArea* scroll_ = nullptr;  // holds the controls above the buttons
  RuleDialogContext context_;
  uint32_t dropTime_ = 0;
  bool advanced_ = false;
  config::RuleRef built_;
};

// Runs the editor modally on `rule` (or none); the new rule, or none after Cancel.
config::RuleRef runRuleEditor(QWidget* parent, const config::ccRule* rule,
                              const RuleDialogContext& context);

// Combo-box lists as the dialogs keep them: entries sorted (case-insensitively), each once.
void addSorted(QComboBox* combo, const QString& text);
// Adds the text to the list and shows it as the chosen entry.
void addAndShow(QComboBox* combo, const QString& text);

}  // namespace ui
