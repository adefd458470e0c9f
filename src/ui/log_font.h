// Choosing the log list's font: the font dialog (fixed-pitch fonts only), started from the
// list's current font; a chosen font is stored at once as "log.font" in the current user's store.
// Window thread.
#pragma once

#include <QFont>
#include <QWidget>
#include <optional>

namespace ui {

// The chosen font (already stored), or none when the user cancelled.
std::optional<QFont> chooseLogFont(QWidget* owner, const QFont& current);

}  // namespace ui
