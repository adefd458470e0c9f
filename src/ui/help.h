// The help contents every window's Help opens (docs/help/index.html: beside the program, in the
// install's share/doc/brisklane/help, or in the source tree it was built from), and the addresses
// the windows open (the product page), each with the desktop's own opener. Where the desktop has
// none that can open it, a message box says so and shows the path or address. Window thread.
#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <string>

namespace ui {

// The help page for a program in `programFolder`; empty when there is none.
QString helpPage(const std::string& programFolder);
// Opens the help page, or says that it is missing or that nothing could open it.
void showHelp(QWidget* parent, const std::string& programFolder);
// Opens the address with the desktop's opener; false (and a message box with the address) when
// none could.
bool openAddress(QWidget* parent, const QUrl& address);

// Tests: addresses are handed to the hook instead of the desktop's opener (true: opened); null
// restores the desktop's.
using AddressOpener = std::function<bool(const QUrl& address)>;
void setAddressOpener(AddressOpener opener);

}  // namespace ui
