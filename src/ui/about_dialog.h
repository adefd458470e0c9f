// "About Brisklane": the build and version of the program, the programs and shared libraries
// beside it with their versions, the acknowledgement of the SSL library, and the way to the news.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Ui {
class AboutDialog;
}

namespace ui {

// The files the about box lists from a folder: the programs first, then the shared libraries,
// at most 31 of each, in name order, each with its version ("4.0.0.0") or "<unknown>"; then the
// row "COMCTL32" (there is no such library here: "<unknown>").
using FileRow = std::pair<std::string, std::string>;
std::vector<FileRow> aboutFileRows(const std::string& folder);
// The "%d.%d.%d.%d" version a file of ours carries, or "<unknown>".
std::string fileVersionText(const std::string& path);

class AboutDialog final : public QDialog {
  Q_OBJECT

 public:
  AboutDialog(QWidget* parent, const std::string& programFolder);
  ~AboutDialog() override;
  // The rows of the file list as shown.
  std::vector<FileRow> shownRows() const;

 private:
  std::unique_ptr<Ui::AboutDialog> form_;
};

}  // namespace ui
