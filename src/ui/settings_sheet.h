// "Settings": the property sheet of the global settings, five pages (SSL, Certificate Filter,
// Log, Socks, Misc) and OK, Cancel and Help (no Apply). Each page fills its controls from the
// record when it is first shown; OK lets every page that was shown write its fields, page by
// page; pages never shown write nothing. Only "Log font" acts at once (the font is applied and
// stored whatever the sheet's end), and a change of thread reuse, which needs the program to
// start again, is saved at once and ends the program when the user agrees.
//
// The sheet edits the record it is given (a copy of the relay's settings, Relay::editableSettings)
// on the window thread; its owner hands the record to the relay after OK.
#pragma once

#include <QDialog>
#include <QFont>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "ui/settings_bindings.h"

namespace Ui {
class SettingsSheet;
}

namespace ui {

// 0 for a cipher text the sheet stores, kCipherRefused for one the SSL library refuses (preset
// names, TLS 1.3 suite names, older suites and rule words, and mixes of them pass).
constexpr int kCipherRefused = -4;
int checkCipherText(const std::string& text);

class SettingsSheet final : public QDialog {
  Q_OBJECT

 public:
  enum class Outcome { kCancelled, kConfirmed, kEndProgram };
  enum Page { kSsl, kFilter, kLog, kSocks, kMisc, kPageCount };
  // The log list's font: what it is, and how a new one is applied.
  struct LogFont {
    std::function<QFont()> current;
    std::function<void(const QFont&)> apply;
  };

  // `cipherNames`: the single ciphers the relay's context offers, listed after the presets.
  SettingsSheet(QWidget* parent, config::Settings* record, LogFont logFont,
                std::string programFolder, std::vector<std::string> cipherNames = {});
  ~SettingsSheet() override;

  Outcome outcome() const { return outcome_; }
  void showPage(Page page);
  bool pageShown(Page page) const { return shown_[page]; }

  void accept() override;

 private:
  void makeBindings();
  void pageOpened(int index);
  void fillSsl();
  void fillLog();
  void fillMisc();
  void storeCipher();
  void storeLog();
  void storeSocks();
  void storeMisc();
  void browseInto(QLineEdit* edit, const QString& title, bool folder);
  void chooseFont();

  std::unique_ptr<Ui::SettingsSheet> form_;
  config::Settings* record_;
  std::vector<std::string> cipherNames_;
  LogFont logFont_;
  std::string programFolder_;
  std::array<PageBindings, kPageCount> bindings_;
  std::array<bool, kPageCount> shown_{};
  Outcome outcome_ = Outcome::kCancelled;
};

// Runs the sheet modally on `record`.
SettingsSheet::Outcome runSettingsSheet(QWidget* parent, config::Settings* record,
                                        SettingsSheet::LogFont logFont,
                                        const std::string& programFolder,
                                        std::vector<std::string> cipherNames);

}  // namespace ui
