#include "platform/utf16.h"

namespace platform {

void appendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | cp >> 6));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | cp >> 12));
    out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | cp >> 18));
    out->push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool utf16ToUtf8(std::string_view in, bool allowEscapes, std::string* out, size_t* consumed) {
  const auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<uint8_t>(in[i]) | static_cast<uint8_t>(in[i + 1])
                                                                   << 8);
  };
  size_t i = 0;
  while (i + 1 < in.size()) {
    const uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < in.size()) {
      const uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        appendUtf8(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00), out);
        i += 4;
        continue;
      }
    }
    if (u >= 0xDC80 && u <= 0xDCFF && allowEscapes) {
      out->push_back(static_cast<char>(u - 0xDC00));
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      break;
    } else {
      appendUtf8(u, out);
    }
    i += 2;
  }
  *consumed = i;
  return i == in.size();
}

size_t utf8CharLength(std::string_view s, size_t i, uint32_t* cp) {
  const uint32_t c = static_cast<uint8_t>(s[i]);
  size_t n = 0;
  uint32_t min = 0;
  if (c < 0x80) {
    *cp = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    n = 2, *cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, *cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, *cp = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const uint32_t cc = static_cast<uint8_t>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    *cp = *cp << 6 | (cc & 0x3F);
  }
  if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return 0;
  return n;
}

std::vector<uint8_t> utf8ToUtf16(const std::vector<uint8_t>& data) {
  const std::string_view s(reinterpret_cast<const char*>(data.data()), data.size());
  std::vector<uint8_t> out;
  out.reserve(data.size() * 2);
  const auto put = [&](uint32_t u) {
    out.push_back(static_cast<uint8_t>(u & 0xFF));
    out.push_back(static_cast<uint8_t>(u >> 8));
  };
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = 0;
    const size_t n = utf8CharLength(s, i, &cp);
    if (n == 0) {
      put(0xDC00 + static_cast<uint8_t>(s[i]));
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
    i += n;
  }
  return out;
}

}  // namespace platform
