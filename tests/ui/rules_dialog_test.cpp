// The rules list dialog on a table of real rules: what it shows, what its buttons do to the list,
// and the one thing that reaches the table (OK), with every reference accounted for.
#include "ui/rules_dialog.h"

#include <QListWidget>
#include <QSignalSpy>
#include <QTest>

#include "config/rules.h"
#include "ui/help.h"
#include "ui/message_box.h"
#include "ui/rule_editor.h"
#include "ui_test_support.h"

using config::ccRule;
using ui::RuleEditor;
using ui::RulesDialog;
using ui_test::byId;
using ui_test::clickId;
using ui_test::ModalScript;

namespace {

enum Id { kList = 1005, kNew = 1006, kEdit = 1007, kDelete = 1023, kUp = 1021, kDown = 1022 };

// A step that fills a new plug rule for `port` into the editor and presses OK.
ModalScript::Step newPlugRule(const QString& port) {
  return [port](QDialog* d) {
    auto* editor = qobject_cast<RuleEditor*>(d);
    if (editor == nullptr) return -1;
    ui_test::setTextId(editor, 1011, port);
    ui_test::setTextId(editor, 1008, "All");
    ui_test::setTextId(editor, 1010, "All");
    ui_test::setTextId(editor, 1012, "127.0.0.1");
    ui_test::setTextId(editor, 1014, "9");
    clickId(editor, 1);
    return editor->result();
  };
}

void select(RulesDialog* dialog, int line) {
  byId<QListWidget>(dialog, kList)->setCurrentRow(line);
}

}  // namespace

class RulesDialogTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<ui_test::TestStore> store_;
  config::RuleTable ruleTable;  // the table the dialogs edit (a front end's copy)
  std::vector<ccRule*> three_;

  std::vector<ccRule*> tableRules() const {
    return std::vector<ccRule*>(ruleTable.rules, ruleTable.rules + ruleTable.count);
  }

 private slots:
  void init() {
    store_ = std::make_unique<ui_test::TestStore>();
    ui_test::fillTable(&ruleTable,
                       {ui_test::makeRule("7001", "All", "All", "127.0.0.1", "9"),
                        ui_test::makeRule("7002", "10.0.0.0", "A net", "127.0.0.1", "9"),
                        ui_test::makeRule("7003", "All", "All", "127.0.0.1", "9", 1)});
    three_ = tableRules();
  }
  void cleanup() {
    config::releaseAllRules(&ruleTable);
    store_.reset();
  }

  void showsOneDescriptionPerRuleInOrder() {
    RulesDialog dialog(nullptr, &ruleTable, std::string());
    QCOMPARE(dialog.windowTitle(), QString("Brisklane Configuration"));
    // An enabled rule's line starts with the empty text of "disabled (".
    const QStringList expected = {" 7001 All All as plug to 127.0.0.1 9 on all interfaces  ",
                                  " 7002 10.0.0.0 A net as plug to 127.0.0.1 9 on all interfaces  ",
                                  " 7003 All All as client to 127.0.0.1 9 on all interfaces  "};
    QCOMPARE(dialog.lines(), expected);
    for (int id : {int(kNew), int(kEdit), int(kDelete), int(kUp), int(kDown), 1, 9, 2})
      QVERIFY(byId<QAbstractButton>(&dialog, id));
    QCOMPARE(byId<QAbstractButton>(&dialog, kDelete)->text(), QString("De&lete"));
    // The list's own references, beside the table's; gone with the dialog.
    QCOMPARE(three_[0]->references, 2u);
  }

  void cancelAfterAddDeleteAndMoveLeavesTheTableAsItWas() {
    {
      ModalScript script;
      script.then(newPlugRule("7004"));
      RulesDialog dialog(nullptr, &ruleTable, std::string());
      QVERIFY(clickId(&dialog, kNew));
      select(&dialog, 0);
      QVERIFY(clickId(&dialog, kDelete));
      select(&dialog, 1);
      QVERIFY(clickId(&dialog, kUp));
      QCOMPARE(dialog.lines().size(), 3);
      QVERIFY(dialog.lines()[0].startsWith(" 7003 "));
      QVERIFY(dialog.lines()[2].startsWith(" 7004 "));
      QVERIFY(script.finished());
      QVERIFY(clickId(&dialog, 2));
      QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }
    QCOMPARE(tableRules(), three_);
    for (ccRule* rule : three_) QCOMPARE(rule->references, 1u);
  }

  void okHandsTheListToTheTableAndARuleInUseLivesOn() {
    ccRule* inUse = three_[0];
    config::retainRule(inUse);  // as a connection holds its rule
    {
      ModalScript script;
      script.then(newPlugRule("7004"));
      RulesDialog dialog(nullptr, &ruleTable, std::string());
      select(&dialog, 0);
      QVERIFY(clickId(&dialog, kDelete));
      QCOMPARE(byId<QListWidget>(&dialog, kList)->currentRow(), 0);  // the line now at 0
      select(&dialog, 0);
      QVERIFY(clickId(&dialog, kDown));
      QCOMPARE(byId<QListWidget>(&dialog, kList)->currentRow(), 1);
      QVERIFY(clickId(&dialog, kNew));
      QVERIFY(clickId(&dialog, 1));
      QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }
    QCOMPARE(ruleTable.count, 3);
    QCOMPARE(ruleTable.rules[0], three_[2]);
    QCOMPARE(ruleTable.rules[1], three_[1]);
    QCOMPARE(ruleTable.rules[2]->peerPortStr, std::string("7004"));
    for (int i = 0; i < 3; ++i) QCOMPARE(ruleTable.rules[i]->references, 1u);
    QCOMPARE(inUse->references, 1u);  // the table's is gone; the connection's is left
    QCOMPARE(config::releaseRule(inUse), 0u);
  }

  void okWithAnEmptyListLeavesNoRules() {
    {
      RulesDialog dialog(nullptr, &ruleTable, std::string());
      for (int i = 0; i < 3; ++i) {
        select(&dialog, 2 - i);
        QVERIFY(clickId(&dialog, kDelete));
      }
      QVERIFY(byId<QListWidget>(&dialog, kList)->selectedItems().isEmpty());
      QVERIFY(clickId(&dialog, 1));
    }
    QCOMPARE(ruleTable.count, 0);
    QCOMPARE(ruleTable.rules[0], nullptr);
  }

  void buttonsWithoutSelectionOrAtTheEndsDoNothing() {
    ModalScript script;  // no editor may run
    RulesDialog dialog(nullptr, &ruleTable, std::string());
    const QStringList before = dialog.lines();
    byId<QListWidget>(&dialog, kList)->clearSelection();
    for (int id : {int(kEdit), int(kDelete), int(kUp), int(kDown)}) QVERIFY(clickId(&dialog, id));
    QCOMPARE(dialog.lines(), before);
    select(&dialog, 0);
    QVERIFY(clickId(&dialog, kUp));
    QCOMPARE(dialog.lines(), before);
    QCOMPARE(byId<QListWidget>(&dialog, kList)->currentRow(), 0);
    select(&dialog, 2);
    QVERIFY(clickId(&dialog, kDown));
    QCOMPARE(dialog.lines(), before);
    QCOMPARE(dialog.ruleAt(2), three_[2]);
    QVERIFY(script.finished());
  }

  void editCancelKeepsTheRuleAndEditOkReplacesItsLine() {
    ModalScript script;
    QString editedPort;
    script.on<RuleEditor>([&editedPort](RuleEditor* e) {
      editedPort = ui_test::textId(e, 1011);
      ui_test::setTextId(e, 1011, "8001");
      clickId(e, 2);
    });
    script.on<RuleEditor>([](RuleEditor* e) {
      ui_test::setTextId(e, 1011, "8002");
      clickId(e, 1);
    });
    RulesDialog dialog(nullptr, &ruleTable, std::string());
    const QStringList before = dialog.lines();
    select(&dialog, 1);
    QVERIFY(clickId(&dialog, kEdit));
    QCOMPARE(editedPort, QString("7002"));
    QCOMPARE(dialog.lines(), before);
    QCOMPARE(dialog.ruleAt(1), three_[1]);
    QCOMPARE(three_[1]->peerPortStr, std::string("7002"));

    auto* list = byId<QListWidget>(&dialog, kList);
    emit list->itemDoubleClicked(list->item(1));  // a double-click edits the line
    QVERIFY(script.finished());
    QVERIFY(dialog.lines()[1].startsWith(" 8002 10.0.0.0 A net as plug"));
    QCOMPARE(list->currentRow(), 1);
    QVERIFY(dialog.ruleAt(1) != three_[1]);
    QCOMPARE(three_[1]->references, 1u);  // the list's reference went with the line
    QCOMPARE(three_[1]->peerPortStr, std::string("7002"));  // never changed
  }

  void aFullTableTakesNoNewRule() {
    std::vector<ccRule*> many;
    for (int i = 0; i < config::kMaxRules; ++i) {
      many.push_back(ui_test::makeRule(std::to_string(9000 + i), "All", "All", "127.0.0.1", "9"));
    }
    ui_test::fillTable(&ruleTable, many);
    ModalScript script;
    RulesDialog dialog(nullptr, &ruleTable, std::string());
    const int boxes = ui::MessageBox::count();
    ui::MessageBox::setNextAnswer(QMessageBox::Ok);
    QVERIFY(clickId(&dialog, kNew));
    QCOMPARE(ui::MessageBox::count(), boxes + 1);
    QVERIFY(ui::MessageBox::lastText().startsWith("At most 256 rules"));
    QCOMPARE(dialog.lines().size(), config::kMaxRules);
    QVERIFY(script.finished());
  }

  void helpOpensTheHelpPage() {
    QString opened;
    ui::setAddressOpener([&opened](const QUrl& page) {
      opened = page.toLocalFile();
      return true;
    });
    RulesDialog dialog(nullptr, &ruleTable, std::string());
    QVERIFY(clickId(&dialog, 9));
    ui::setAddressOpener(nullptr);
    QVERIFY(opened.endsWith("help/index.html"));
  }
};

QTEST_MAIN(RulesDialogTest)
#include "rules_dialog_test.moc"
