// The help contents every window's Help opens: docs/help/index.html (the help page installed
// beside the program, or the one of the source tree it was built from), in the desktop's browser.
// Window thread.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <string>

namespace ui {

// The help page for a program in `programFolder`; empty when there is none.
QString helpPage(const std::string& programFolder);
// Opens the help page, or says that it is missing.
void showHelp(QWidget* parent, const std::string& programFolder);

// Tests: the page is handed to the hook instead of the browser.
using HelpOpener = std::function<void(const QString& page)>;
void setHelpOpener(HelpOpener opener);

}  // namespace ui
