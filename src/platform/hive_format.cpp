// The writer of the export text: a key tree as "Windows Registry Editor Version 5.00" text.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/hive_file.h"
#include "platform/utf16.h"

namespace platform {
namespace {

constexpr size_t kHexLineWidth = 77;  // regedit keeps lines within 80 columns

void quoteInto(std::string_view s, std::string* out) {
  out->push_back('"');
  for (char c : s) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

bool isPlainText(const std::vector<uint8_t>& data) {
  if (data.empty() || data.back() != 0) return false;
  return std::none_of(data.begin(), data.end() - 1,
                      [](uint8_t b) { return b == 0 || b == '\n' || b == '\r'; });
}

void writeValue(const RegValue& v, std::string* out) {
  std::string line;
  if (v.name.empty()) {
    line = "@";
  } else {
    quoteInto(v.name, &line);
  }
  line += '=';
  char buf[32];
  if (v.type == 1 && isPlainText(v.data)) {
    quoteInto(std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1),
              &line);
  } else if (v.type == 4 && v.data.size() == 4) {
    const uint32_t d = v.data[0] | v.data[1] << 8 | v.data[2] << 16 | uint32_t{v.data[3]} << 24;
    std::snprintf(buf, sizeof buf, "dword:%08x", d);
    line += buf;
  } else {
    const std::vector<uint8_t> bytes = isStringValueType(v.type) ? utf8ToUtf16(v.data) : v.data;
    if (v.type == 3) {
      line += "hex:";
    } else {
      std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
      line += buf;
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
      std::snprintf(buf, sizeof buf, i + 1 < bytes.size() ? "%02x," : "%02x", bytes[i]);
      if (line.size() + 3 > kHexLineWidth) {
        *out += line + "\\\n";
        line = "  ";
      }
      line += buf;
    }
  }
  *out += line + "\n";
}

// How far the writer may go: the text stops growing past maxBytes, keys past maxDepth.
struct WriteLimits {
  size_t maxBytes;
  size_t maxDepth;
  bool tooLarge = false;
  bool tooDeep = false;
  bool exceeded() const { return tooLarge || tooDeep; }
};

void writeKey(const RegNode& node, const std::string& fullName, bool skipIfEmpty, size_t depth,
              WriteLimits* limits, std::string* out) {
  if (depth > limits->maxDepth) {
    limits->tooDeep = true;
    return;
  }
  if (!(skipIfEmpty && node.values.empty())) {
    *out += "[" + fullName + "]\n";
    for (const RegValue& v : node.values) {
      writeValue(v, out);
      if (out->size() > limits->maxBytes) break;
    }
    *out += "\n";
  }
  if (out->size() > limits->maxBytes) {
    limits->tooLarge = true;
    return;
  }
  for (const RegNode& sub : node.subkeys) {
    writeKey(sub, fullName + "\\" + sub.name, false, depth + 1, limits, out);
    if (limits->exceeded()) return;
  }
}

}  // namespace

std::string formatHiveText(const RegNode& node, std::string_view fullName, bool skipEmptyTop) {
  std::string out(kHiveHeader);
  out += "\n\n";
  WriteLimits unlimited{static_cast<size_t>(-1), static_cast<size_t>(-1)};
  writeKey(node, std::string(fullName), skipEmptyTop, 0, &unlimited, &out);
  return out;
}

HiveTextLimit formatHiveTextWithin(const RegNode& root, std::string_view fullName,
                                   bool skipEmptyTop, size_t maxBytes, std::string* out,
                                   std::string* why) {
  out->assign(kHiveHeader);
  *out += "\n\n";
  WriteLimits limits{maxBytes, kMaxKeyDepth};
  writeKey(root, std::string(fullName), skipEmptyTop, 0, &limits, out);
  if (!limits.exceeded()) return HiveTextLimit::kWithin;
  out->clear();
  out->shrink_to_fit();
  if (limits.tooDeep) {
    *why = "it would hold a key more than " + std::to_string(kMaxKeyDepth) + " levels deep";
    return HiveTextLimit::kTooDeep;
  }
  constexpr size_t kMebibyte = size_t{1} << 20;
  const bool whole = maxBytes >= kMebibyte && maxBytes % kMebibyte == 0;
  *why = "it would grow past " + (whole ? std::to_string(maxBytes / kMebibyte) + " MiB"
                                        : std::to_string(maxBytes) + " bytes");
  return HiveTextLimit::kTooLarge;
}

}  // namespace platform
