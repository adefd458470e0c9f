#include "ui/about_dialog.h"

#include <QPixmap>
#include <QUrl>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "relay/version.h"
#include "ui/commands.h"
#include "ui/help.h"
#include "ui_about_dialog.h"

namespace ui {
namespace {

constexpr size_t kMaxRows = 31;
constexpr char kMarker[] = "BKL-FILE-VERSION:";

bool isLibrary(const std::string& name) {
  return name.size() > 3 && (name.ends_with(".so") || name.find(".so.") != std::string::npos);
}

}  // namespace

std::string fileVersionText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<unknown>";
  // Our programs carry their version as a marked text; read in pieces so a large file costs
  // little memory (a piece keeps the end of the one before, so a marker across two is found).
  const std::string marker(kMarker);
  std::string window;
  char piece[1 << 16];
  while (in.read(piece, sizeof piece) || in.gcount() > 0) {
    window.append(piece, static_cast<size_t>(in.gcount()));
    if (const size_t at = window.find(marker); at != std::string::npos) {
      std::string text;
      for (size_t i = at + marker.size(); i < window.size() && text.size() < 23; ++i) {
        const char c = window[i];
        if (c != '.' && (c < '0' || c > '9')) break;
        text += c;
      }
      if (!text.empty() && std::count(text.begin(), text.end(), '.') == 3) return text;
    }
    window.erase(0, window.size() > 64 ? window.size() - 64 : 0);
  }
  return "<unknown>";
}

std::vector<FileRow> aboutFileRows(const std::string& folder) {
  namespace fs = std::filesystem;
  std::vector<std::string> programs;
  std::vector<std::string> libraries;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code statError;
    if (!it->is_regular_file(statError)) continue;
    const std::string name = it->path().filename().string();
    if (isLibrary(name)) {
      libraries.push_back(name);
    } else if ((it->status(statError).permissions() & fs::perms::owner_exec) != fs::perms::none) {
      programs.push_back(name);
    }
  }
  std::vector<FileRow> rows;
  for (std::vector<std::string>* list : {&programs, &libraries}) {
    std::sort(list->begin(), list->end());
    for (size_t i = 0; i < list->size() && i < kMaxRows; ++i) {
      rows.emplace_back((*list)[i], fileVersionText(folder + "/" + (*list)[i]));
    }
  }
  rows.emplace_back("COMCTL32", "<unknown>");
  return rows;
}

AboutDialog::AboutDialog(QWidget* parent, const std::string& programFolder)
    : QDialog(parent), form_(std::make_unique<Ui::AboutDialog>()) {
  form_->setupUi(this);
  form_->logo->setPixmap(QPixmap(":/about/logo.png"));
  form_->side->setPixmap(QPixmap(":/about/side.png"));
  form_->address->setText(QString("<a href=\"%1\">%1</a>").arg(kProductAddress));
  form_->build->setText(QStringLiteral(__DATE__));
  form_->version->setText(QString::fromUtf8(relay::programVersion().productVersion));
  form_->files->setColumnWidth(0, 120);
  form_->files->setColumnWidth(1, 70);
  for (const FileRow& row : aboutFileRows(programFolder)) {
    form_->files->addTopLevelItem(new QTreeWidgetItem(
        QStringList{QString::fromStdString(row.first), QString::fromStdString(row.second)}));
  }
  connect(form_->ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(form_->news, &QPushButton::clicked, this,
          [this] { openAddress(this, QUrl(QString(kProductAddress) + "bkl")); });
}

AboutDialog::~AboutDialog() = default;

std::vector<FileRow> AboutDialog::shownRows() const {
  std::vector<FileRow> rows;
  for (int i = 0; i < form_->files->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* item = form_->files->topLevelItem(i);
    rows.emplace_back(item->text(0).toStdString(), item->text(1).toStdString());
  }
  return rows;
}

}  // namespace ui
