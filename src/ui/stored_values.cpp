#include "ui/stored_values.h"

#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/registry.h"

namespace ui {
namespace {

constexpr const char* kPlaceNames[4] = {"pos.x", "pos.y", "pos.cx", "pos.cy"};
constexpr size_t kFaceNameSize = 32;
constexpr int kFixedPitch = 1;
constexpr int kModernFamily = 0x30;

bool openUserKey(bool create, platform::RegKey* key) {
  const platform::Hive hive = platform::Hive::kCurrentUser;
  const long rc = create ? platform::regCreateKey(hive, config::settingsKeyPath(), key)
                         : platform::regOpenKey(hive, config::settingsKeyPath(), key);
  return rc == platform::kErrorSuccess;
}

std::optional<int32_t> readNumber(const platform::RegKey& key, const char* name) {
  uint32_t type = 0;
  uint32_t value = 0;
  uint32_t size = sizeof value;
  if (platform::regQueryValue(key, name, &type, &value, &size) != platform::kErrorSuccess ||
      type != platform::REG_DWORD || size != sizeof value) {
    return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

void putInt(FontRecord* r, size_t at, int32_t value) { std::memcpy(r->data() + at, &value, 4); }
int32_t getInt(const FontRecord& r, size_t at) {
  int32_t value = 0;
  std::memcpy(&value, r.data() + at, 4);
  return value;
}

}  // namespace

WindowPlace loadWindowPlace() {
  WindowPlace place;
  platform::RegKey key;
  if (!openUserKey(false, &key)) return place;
  std::optional<int32_t> values[4];
  for (int i = 0; i < 4; ++i) {
    values[i] = readNumber(key, kPlaceNames[i]);
    place.read[static_cast<size_t>(i)] = values[i].value_or(0);
  }
  if (values[0] && values[1]) place.position = QPoint(*values[0], *values[1]);
  if (values[2] && values[3]) place.size = QSize(*values[2], *values[3]);
  return place;
}

void saveWindowPlace(const QRect& frame, const WindowPlace& atStart) {
  const int32_t now[4] = {frame.x(), frame.y(), frame.width(), frame.height()};
  platform::RegKey key;
  bool opened = false;
  for (int i = 0; i < 4; ++i) {
    if (now[i] == atStart.read[static_cast<size_t>(i)]) continue;
    if (!opened && !(opened = openUserKey(true, &key))) return;
    const uint32_t value = static_cast<uint32_t>(now[i]);
    platform::regSetValue(key, kPlaceNames[i], platform::REG_DWORD, &value, sizeof value);
  }
}

FontRecord recordOfFont(const QFont& font) {
  FontRecord r{};
  const int pixels = font.pixelSize() > 0 ? font.pixelSize() : font.pointSize() * 4 / 3;
  putInt(&r, 0, -pixels);  // a negative height: the character height, as fonts are chosen
  putInt(&r, 16, static_cast<int32_t>(font.weight()));  // the same 1 to 1000 scale
  r[20] = font.italic() ? 1 : 0;
  r[21] = font.underline() ? 1 : 0;
  r[22] = font.strikeOut() ? 1 : 0;
  r[27] = static_cast<uint8_t>(kFixedPitch | kModernFamily);
  const std::string face = font.family().toUtf8().toStdString();
  std::memcpy(r.data() + 28, face.data(), std::min(face.size(), kFaceNameSize - 1));
  return r;
}

std::optional<QFont> fontOfRecord(const FontRecord& r) {
  const char* faceBytes = reinterpret_cast<const char*>(r.data() + 28);
  const std::string face(faceBytes, strnlen(faceBytes, kFaceNameSize));
  const int32_t height = getInt(r, 0);
  if (face.empty() || height == 0 || height < -500 || height > 500) return std::nullopt;
  QFont font(QString::fromUtf8(face.c_str()));
  font.setPixelSize(height < 0 ? -height : height);
  const int32_t weight = getInt(r, 16);
  if (weight > 0 && weight <= 1000) font.setWeight(static_cast<QFont::Weight>(weight));
  font.setItalic(r[20] != 0);
  font.setUnderline(r[21] != 0);
  font.setStrikeOut(r[22] != 0);
  font.setFixedPitch(true);
  font.setStyleHint(QFont::TypeWriter);
  return font;
}

std::optional<QFont> loadLogFont() {
  platform::RegKey key;
  if (!openUserKey(false, &key)) return std::nullopt;
  FontRecord r{};
  uint32_t type = 0;
  uint32_t size = static_cast<uint32_t>(r.size());
  if (platform::regQueryValue(key, "log.font", &type, r.data(), &size) != platform::kErrorSuccess ||
      type != platform::REG_BINARY || size != kFontRecordSize) {
    return std::nullopt;
  }
  return fontOfRecord(r);
}

void storeLogFont(const QFont& font) {
  platform::RegKey key;
  if (!openUserKey(true, &key)) return;
  const FontRecord r = recordOfFont(font);
  platform::regSetValue(key, "log.font", platform::REG_BINARY, r.data(),
                        static_cast<uint32_t>(r.size()));
}

}  // namespace ui
