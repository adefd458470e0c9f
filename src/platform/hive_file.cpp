#include "platform/hive_file.h"

#include <algorithm>
#include <cstdio>

#include "platform/hive_apply.h"
#include "platform/utf16.h"

namespace platform {
namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimLeft(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view trimRight(std::string_view s) {
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && namesEqual(s.substr(0, prefix.size()), prefix);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lowerAscii(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// 1 to 8 hex digits, nothing else.
bool parseHex32(std::string_view s, uint32_t* out) {
  if (s.empty() || s.size() > 8) return false;
  uint32_t v = 0;
  for (char c : s) {
    const int d = hexDigit(c);
    if (d < 0) return false;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}

class HiveParser {
 public:
  HiveParser(std::string_view text, const HiveParseLimits& limits) : text_(text), limits_(limits) {}
  HiveParseResult run();

 private:
  bool nextLine(std::string_view* line);
  bool fail(int line, std::string what);
  bool parseKeyLine(std::string_view t);
  bool parseValueLine(std::string_view t);
  bool parseValueData(std::string_view rest, HiveValueRecord* value);
  bool parseHexList(std::string_view rest, uint32_t type, HiveValueRecord* value);

  std::string_view text_;
  const HiveParseLimits limits_;
  size_t pos_ = 0;
  int lineNo_ = 0;
  int valueLine_ = 0;  // line where the value being read starts
  HiveParseResult result_;
};

bool HiveParser::nextLine(std::string_view* line) {
  if (pos_ >= text_.size()) return false;
  size_t end = text_.find('\n', pos_);
  if (end == std::string_view::npos) end = text_.size();
  *line = text_.substr(pos_, end - pos_);
  if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
  pos_ = end + 1;
  ++lineNo_;
  return true;
}

bool HiveParser::fail(int line, std::string what) {
  result_.errorLine = line;
  result_.error = std::move(what);
  return false;
}

HiveParseResult HiveParser::run() {
  std::string_view line;
  if (!nextLine(&line) || (trimRight(line) != kHiveHeader && trimRight(line) != kHeader4)) {
    fail(1,
         "not a registry export: the first line must be \"Windows Registry Editor Version "
         "5.00\" or \"REGEDIT4\"");
    return std::move(result_);
  }
  result_.unicode = trimRight(line) == kHiveHeader;
  while (nextLine(&line)) {
    const std::string_view t = trimRight(trimLeft(line));
    bool ok = true;
    if (t.empty() || t.front() == ';') continue;
    if (t.front() == '[') {
      ok = parseKeyLine(t);
    } else if (t.front() == '"' || t.front() == '@') {
      ok = parseValueLine(t);
    } else {
      ok = fail(lineNo_, "unrecognised line (neither a [key] nor a \"value\")");
    }
    if (!ok) break;
  }
  return std::move(result_);
}

bool HiveParser::parseKeyLine(std::string_view t) {
  if (t.size() < 2 || t.back() != ']') return fail(lineNo_, "the key line does not end with ']'");
  std::string_view inner = t.substr(1, t.size() - 2);
  HiveKeyRecord key;
  key.line = lineNo_;
  if (!inner.empty() && inner.front() == '-') {
    key.remove = true;
    inner.remove_prefix(1);
  }
  const size_t slash = inner.find('\\');
  const std::string_view root = inner.substr(0, slash);
  if (root.empty()) return fail(lineNo_, "the key line names no root key");
  if (namesEqual(root, "HKCU") || namesEqual(root, "HKEY_CURRENT_USER")) {
    key.root = "HKEY_CURRENT_USER";
  } else if (namesEqual(root, "HKLM") || namesEqual(root, "HKEY_LOCAL_MACHINE")) {
    key.root = "HKEY_LOCAL_MACHINE";
  } else {
    key.root = root;
  }
  if (slash != std::string_view::npos) {
    key.path = inner.substr(slash + 1);
    std::vector<std::string_view> parts;
    if (key.path.empty() || !splitKeyPath(key.path, &parts)) {
      return fail(lineNo_,
                  "bad key name (an empty part, a part over 255 characters or more "
                  "than 512 levels)");
    }
  }
  if (key.remove && key.path.empty()) return fail(lineNo_, "a root key cannot be deleted");
  result_.keys.push_back(std::move(key));
  return true;
}

// Reads "text" at s[*pos] with the escapes \\ and \"; a backslash before anything else is kept.
bool readQuoted(std::string_view s, size_t* pos, std::string* out) {
  size_t i = *pos + 1;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out->push_back(s[i + 1]);
      i += 2;
      continue;
    }
    out->push_back(c);
    ++i;
  }
  return false;
}

bool HiveParser::parseValueLine(std::string_view t) {
  if (result_.keys.empty()) return fail(lineNo_, "a value before the first key line");
  if (result_.keys.back().remove) return fail(lineNo_, "a value under a key being deleted");
  valueLine_ = lineNo_;
  HiveValueRecord value;
  size_t pos = 1;
  if (t.front() == '"') {
    pos = 0;
    if (!readQuoted(t, &pos, &value.name)) {
      return fail(lineNo_, "the value name is not closed with '\"'");
    }
  }
  if (value.name.size() > limits_.maxValueName) {
    return fail(lineNo_, "the value name has " + std::to_string(value.name.size()) +
                             " characters, more than " + std::to_string(limits_.maxValueName));
  }
  const std::string_view rest = trimLeft(t.substr(pos));
  if (rest.empty() || rest.front() != '=') return fail(lineNo_, "'=' expected after the name");
  if (!parseValueData(trimLeft(rest.substr(1)), &value)) return false;
  result_.keys.back().values.push_back(std::move(value));
  return true;
}

bool HiveParser::parseValueData(std::string_view rest, HiveValueRecord* value) {
  if (!rest.empty() && rest.front() == '"') {
    std::string text;
    size_t pos = 0;
    if (!readQuoted(rest, &pos, &text)) return fail(lineNo_, "the text is not closed with '\"'");
    if (!trimLeft(rest.substr(pos)).empty()) {
      return fail(lineNo_, "unexpected characters after the closing '\"'");
    }
    value->type = 1;
    value->data.assign(text.begin(), text.end());
    value->data.push_back(0);
    return true;
  }
  if (rest == "-") {
    value->remove = true;
    return true;
  }
  if (startsWithNoCase(rest, "dword:")) {
    uint32_t v = 0;
    if (!parseHex32(rest.substr(6), &v)) return fail(lineNo_, "bad dword (1 to 8 hex digits)");
    value->type = 4;
    for (int i = 0; i < 4; ++i) value->data.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return true;
  }
  if (startsWithNoCase(rest, "hex:")) return parseHexList(rest.substr(4), 3, value);
  if (startsWithNoCase(rest, "hex(")) {
    const size_t close = rest.find(')');
    uint32_t type = 0;
    if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':' ||
        !parseHex32(rest.substr(4, close - 4), &type)) {
      return fail(lineNo_, "bad type in hex(...): expected 1 to 8 hex digits and \"):\"");
    }
    if (limits_.registryTypesOnly && type > kMaxValueType) {
      char text[96];
      std::snprintf(text, sizeof text,
                    "unknown value type hex(%x): the registry's types are 0 to %x",
                    static_cast<unsigned>(type), static_cast<unsigned>(kMaxValueType));
      return fail(lineNo_, text);
    }
    return parseHexList(rest.substr(close + 2), type, value);
  }
  return fail(lineNo_, "unrecognised value data (expected \"text\", dword:, hex: or hex(n):)");
}

bool HiveParser::parseHexList(std::string_view rest, uint32_t type, HiveValueRecord* value) {
  std::string joined(trimRight(rest));
  while (!joined.empty() && joined.back() == '\\') {
    joined.pop_back();
    std::string_view next;
    if (!nextLine(&next)) return fail(valueLine_, "the file ends inside a continued value");
    joined += trimRight(trimLeft(next));
  }
  std::string_view list = trimRight(joined);
  std::vector<uint8_t> bytes;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    const std::string_view item = trimRight(trimLeft(list.substr(0, comma)));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (item.empty() && list.empty() && comma != std::string_view::npos) break;  // trailing ','
    uint32_t byte = 0;
    if (item.size() > 2 || !parseHex32(item, &byte)) {
      return fail(valueLine_, "bad hex byte \"" + std::string(item.substr(0, 16)) + "\"");
    }
    bytes.push_back(static_cast<uint8_t>(byte));
  }
  value->type = type;
  if (result_.unicode && isStringValueType(type)) {
    std::string text;
    size_t used = 0;
    const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!utf16ToUtf8(raw, true, &text, &used)) {
      return fail(valueLine_, "the UTF-16 text of the value is not valid");
    }
    value->data.assign(text.begin(), text.end());
  } else {
    value->data = std::move(bytes);
  }
  return true;
}

// The text of the file as UTF-8: the bytes themselves, or for a UTF-16 file its conversion in
// *text. On a decoding error, the text holds the whole lines before it and *errorLine / *error
// describe it.
std::string_view decodeFile(std::string_view bytes, std::string* text, int* errorLine,
                            std::string* error) {
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
      static_cast<uint8_t>(bytes[1]) == 0xFE) {
    size_t used = 0;
    if (!utf16ToUtf8(bytes.substr(2), false, text, &used)) {
      *errorLine = static_cast<int>(std::count(text->begin(), text->end(), '\n')) + 1;
      *error = (bytes.size() - 2 - used) == 1 ? "odd number of bytes in a UTF-16 file"
                                              : "unpaired UTF-16 surrogate";
      text->erase(text->rfind('\n') == std::string::npos ? 0 : text->rfind('\n') + 1);
    }
    return *text;
  }
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFE &&
      static_cast<uint8_t>(bytes[1]) == 0xFF) {
    *errorLine = 1;
    *error = "UTF-16 big-endian files are not supported";
    return {};
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return bytes;  // parsed where it lies: a large store is not copied first
}

}  // namespace

bool namesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

bool splitKeyPath(std::string_view path, std::vector<std::string_view>* parts) {
  parts->clear();
  if (path.empty()) return true;
  while (true) {
    const size_t slash = path.find('\\');
    const std::string_view part = path.substr(0, slash);
    if (part.empty() || part.size() > kMaxKeyPartLength || parts->size() >= kMaxKeyDepth)
      return false;
    parts->push_back(part);
    if (slash == std::string_view::npos) return true;
    path.remove_prefix(slash + 1);
  }
}

RegNode* findSubkey(RegNode& node, std::string_view name) {
  for (RegNode& sub : node.subkeys) {
    if (namesEqual(sub.name, name)) return &sub;
  }
  return nullptr;
}

RegValue* findValue(RegNode& node, std::string_view name) {
  for (RegValue& v : node.values) {
    if (namesEqual(v.name, name)) return &v;
  }
  return nullptr;
}

RegNode* findNode(RegNode& root, std::string_view path) {
  std::vector<std::string_view> parts;
  if (!splitKeyPath(path, &parts)) return nullptr;
  RegNode* node = &root;
  for (std::string_view part : parts) {
    node = findSubkey(*node, part);
    if (node == nullptr) return nullptr;
  }
  return node;
}

RegNode* createNode(RegNode& root, std::string_view path) {
  std::vector<std::string_view> parts;
  if (!splitKeyPath(path, &parts)) return nullptr;
  RegNode* node = &root;
  for (std::string_view part : parts) {
    RegNode* sub = findSubkey(*node, part);
    if (sub == nullptr) {
      node->subkeys.push_back(RegNode{std::string(part), {}, {}});
      sub = &node->subkeys.back();
    }
    node = sub;
  }
  return node;
}

bool deleteNode(RegNode& root, std::string_view path) {
  const size_t slash = path.rfind('\\');
  RegNode* parent = slash == std::string_view::npos ? &root : findNode(root, path.substr(0, slash));
  if (parent == nullptr || path.empty()) return false;
  const std::string_view leaf = slash == std::string_view::npos ? path : path.substr(slash + 1);
  auto& subs = parent->subkeys;
  const auto it = std::find_if(subs.begin(), subs.end(),
                               [&](const RegNode& n) { return namesEqual(n.name, leaf); });
  if (it == subs.end()) return false;
  subs.erase(it);
  return true;
}

void putValue(RegNode& node, std::string_view name, uint32_t type, std::vector<uint8_t> data) {
  RegValue* v = findValue(node, name);
  if (v == nullptr) {
    node.values.push_back(RegValue{std::string(name), type, std::move(data)});
    return;
  }
  v->type = type;
  v->data = std::move(data);
}

HiveParseResult parseHiveText(std::string_view bytes, const HiveParseLimits& limits) {
  std::string converted;
  int decodeLine = 0;
  std::string decodeError;
  const std::string_view text = decodeFile(bytes, &converted, &decodeLine, &decodeError);
  HiveParseResult result = HiveParser(text, limits).run();
  if (!decodeError.empty() && (result.ok() || result.errorLine >= decodeLine)) {
    result.errorLine = decodeLine;
    result.error = decodeError;
  }
  return result;
}

void applyKeyRecord(RegNode& root, const HiveKeyRecord& record) { HiveApplier(root).apply(record); }

}  // namespace platform
