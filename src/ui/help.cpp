#include "ui/help.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

#include "ui/message_box.h"

namespace ui {
namespace {

HelpOpener& opener() {
  static HelpOpener o;
  return o;
}

}  // namespace

QString helpPage(const std::string& programFolder) {
  const QString folder = QString::fromStdString(programFolder);
  // Beside the program, in the installed share folder (bin/ or sbin/ beside share/), then the
  // source tree the program was built from.
  for (const QString& candidate :
       {folder + "/help/index.html", folder + "/../share/doc/brisklane/help/index.html",
        QStringLiteral(BKL_SOURCE_DIR "/docs/help/index.html")}) {
    if (QFileInfo::exists(candidate)) return QFileInfo(candidate).canonicalFilePath();
  }
  return {};
}

void showHelp(QWidget* parent, const std::string& programFolder) {
  const QString page = helpPage(programFolder);
  if (page.isEmpty()) {
    MessageBox::show(parent, QMessageBox::Warning, "Brisklane 4",
                     "The help page (help/index.html) was not found beside the program.");
    return;
  }
  if (opener()) {
    opener()(page);
    return;
  }
  QDesktopServices::openUrl(QUrl::fromLocalFile(page));
}

void setHelpOpener(HelpOpener o) { opener() = std::move(o); }

}  // namespace ui
