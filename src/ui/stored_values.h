// What the desktop program keeps of itself in the current user's store, whatever the root in use:
// the main window's place ("pos.x", "pos.y", "pos.cx", "pos.cy") and the log font ("log.font", one
// binary value of exactly 60 bytes). UI thread.
#pragma once

#include <QFont>
#include <QRect>
#include <array>
#include <cstdint>
#include <optional>

namespace ui {

// The place as read at start: each pair only when both of its values are 4-byte numbers.
struct WindowPlace {
  std::optional<QPoint> position;
  std::optional<QSize> size;
  // The values read (0 for those missing), to compare with at exit.
  std::array<int32_t, 4> read{};
};
WindowPlace loadWindowPlace();
// Writes each of the four values that differs from what was read at start.
void saveWindowPlace(const QRect& frame, const WindowPlace& atStart);

// The 60-byte font record: height, width, escapement, orientation, weight (32-bit each); italic,
// underline, strike-out, character set, output precision, clip precision, quality, pitch and
// family (a byte each); the face name (32 bytes, zero-terminated).
constexpr size_t kFontRecordSize = 60;
using FontRecord = std::array<uint8_t, kFontRecordSize>;
FontRecord recordOfFont(const QFont& font);
std::optional<QFont> fontOfRecord(const FontRecord& record);
// The stored log font; none when the value is missing or not 60 bytes of binary.
std::optional<QFont> loadLogFont();
void storeLogFont(const QFont& font);

}  // namespace ui
