#include "ui/help.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

#include "ui/message_box.h"

namespace ui {
namespace {

AddressOpener& opener() {
  static AddressOpener o;  // a test's, or none: the desktop's
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
  openAddress(parent, QUrl::fromLocalFile(page));
}

bool openAddress(QWidget* parent, const QUrl& address) {
  const bool opened = opener() ? opener()(address) : QDesktopServices::openUrl(address);
  if (opened) return true;
  const QString shown = address.isLocalFile() ? address.toLocalFile() : address.toString();
  MessageBox::show(parent, QMessageBox::Warning, "Brisklane 4",
                   "No program of this desktop could open it. Open it yourself:", QMessageBox::Ok,
                   QMessageBox::Ok, shown);
  return false;
}

void setAddressOpener(AddressOpener o) { opener() = std::move(o); }

}  // namespace ui
