// brisklane-reg: reads and changes the configuration store from the command line, in the manner
// of the Windows registry tool. Exit status 0 on success, 1 on any error (the message on standard
// error); a command that fails changes nothing.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "reg_init.h"

namespace {

using platform::Hive;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr size_t kMaxDataBytes = 65535;

constexpr char kUsage[] =
    "Usage: brisklane-reg [localmachine] COMMAND ...\n"
    "\n"
    "  query KEY [VALUE]                 show a key's values and subkeys, or one value\n"
    "  add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"
    "                                    create a key, set a value (TYPE: REG_SZ (default),\n"
    "                                    REG_EXPAND_SZ, REG_MULTI_SZ (entries joined by \\0),\n"
    "                                    REG_DWORD (decimal or 0x hex), REG_BINARY (hex digits))\n"
    "  delete KEY [/v NAME | /ve] [/f]   delete a key with its subkeys, or one value\n"
    "  import FILE                       apply a registry export (UTF-8 or UTF-16LE)\n"
    "  export KEY FILE [/y]              write a key and its subkeys to FILE (overwritten)\n"
    "  init                              create the settings key with every default, unless\n"
    "                                    it exists (an existing key is left as it is)\n"
    "\n"
    "KEY is relative to the current user's hive, or to the local machine's when the word\n"
    "\"localmachine\" is given; a leading HKCU\\, HKLM\\, HKEY_CURRENT_USER\\ or\n"
    "HKEY_LOCAL_MACHINE\\ chooses the hive instead. BRISKLANE_CONFIG_DIR names the folder\n"
    "of both hive files.\n"
    "\n"
    "Exit status: 0 on success, 1 on any error (bad arguments included).\n";

constexpr char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.";
constexpr char kDone[] = "The operation completed successfully.";

int failWith(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return kExitFailed;
}

int syntaxError(const std::string& what) {
  std::fprintf(stderr, "ERROR: Invalid syntax. %s\nType \"brisklane-reg --help\" for usage.\n",
               what.c_str());
  return kExitFailed;
}

int storeError(long rc) {
  switch (rc) {
    case platform::kErrorFileNotFound:
      return failWith(kNotFound);
    case platform::kErrorWriteProtect:
      return failWith(
          "ERROR: The configuration file could not be parsed; it stays unchanged "
          "until it is mended.");
    case platform::kErrorAccessDenied:
      return failWith("ERROR: Access is denied.");
    case platform::kErrorInvalidParameter:
      return failWith("ERROR: Invalid key or value name.");
    case platform::kErrorDiskFull:
      return failWith("ERROR: There is not enough space on the disk.");
    case platform::kErrorFileTooLarge:
      return failWith(
          "ERROR: The change would make the configuration file too large to read back; "
          "nothing was changed.");
    default:
      return failWith("ERROR: The operation failed (error " + std::to_string(rc) + ").");
  }
}

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

// The command line after the verb: positional words and options (/v NAME, /f, ...).
struct Arguments {
  Hive hive = Hive::kCurrentUser;
  std::string verb;
  std::vector<std::string> words;
  std::map<std::string, std::string> options;  // lower-case letters without the '/'
  bool has(const char* name) const { return options.count(name) != 0; }
};

bool looksLikeOption(const std::string& arg) {
  if (arg.size() < 2 || arg.size() > 3 || (arg[0] != '/' && arg[0] != '-')) return false;
  for (size_t i = 1; i < arg.size(); ++i) {
    if (!std::isalpha(static_cast<unsigned char>(arg[i])) && arg[i] != '?') return false;
  }
  return true;
}

// Splits argv; returns an empty text or the reason the command line is wrong.
std::string parseArguments(int argc, char** argv, int first, const std::string& allowed,
                           Arguments* args) {
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "localmachine") {
      args->hive = Hive::kLocalMachine;
      continue;
    }
    if (!looksLikeOption(arg)) {
      args->words.push_back(arg);
      continue;
    }
    std::string name = arg.substr(1);
    for (char& c : name) c = lower(c);
    if (allowed.find(" " + name + " ") == std::string::npos) {
      return "Option " + arg + " is not valid for " + args->verb + ".";
    }
    if (args->has(name.c_str())) return "Option " + arg + " is given twice.";
    std::string value;
    if (name == "v" || name == "t" || name == "d") {
      if (++i >= argc) return "Option " + arg + " needs a value.";
      value = argv[i];
    }
    args->options[name] = value;
  }
  if (args->has("v") && args->has("ve")) return "Options /v and /ve exclude each other.";
  return "";
}

// Splits a KEY argument into hive and path. Returns false for a foreign root or an empty key.
bool parseKey(std::string key, Hive* hive, std::string* path) {
  while (!key.empty() && key.back() == '\\') key.pop_back();
  const size_t slash = key.find('\\');
  const std::string first = key.substr(0, slash);
  const std::string rest = slash == std::string::npos ? "" : key.substr(slash + 1);
  if (equalsNoCase(first, "HKCU") || equalsNoCase(first, "HKEY_CURRENT_USER")) {
    *hive = Hive::kCurrentUser;
    *path = rest;
    return true;
  }
  if (equalsNoCase(first, "HKLM") || equalsNoCase(first, "HKEY_LOCAL_MACHINE")) {
    *hive = Hive::kLocalMachine;
    *path = rest;
    return true;
  }
  if (equalsNoCase(std::string_view(first).substr(0, 5), "HKEY_") || equalsNoCase(first, "HKCR") ||
      equalsNoCase(first, "HKU") || equalsNoCase(first, "HKCC")) {
    return false;
  }
  *path = key;
  return !key.empty();
}

std::string fullKeyName(Hive hive, const std::string& path) {
  return path.empty() ? platform::hiveName(hive) : platform::hiveName(hive) + ("\\" + path);
}

const char* typeName(uint32_t type) {
  static const char* const kNames[] = {"REG_NONE",
                                       "REG_SZ",
                                       "REG_EXPAND_SZ",
                                       "REG_BINARY",
                                       "REG_DWORD",
                                       "REG_DWORD_BIG_ENDIAN",
                                       "REG_LINK",
                                       "REG_MULTI_SZ",
                                       "REG_RESOURCE_LIST",
                                       "REG_FULL_RESOURCE_DESCRIPTOR",
                                       "REG_RESOURCE_REQUIREMENTS_LIST",
                                       "REG_QWORD"};
  return type < sizeof kNames / sizeof kNames[0] ? kNames[type] : "REG_UNKNOWN";
}

std::string formatData(uint32_t type, const std::vector<uint8_t>& data) {
  const std::string text(data.begin(), data.end());
  char buf[32];
  if (type == platform::REG_SZ || type == platform::REG_EXPAND_SZ) {
    return text.substr(0, text.find('\0'));
  }
  if (type == platform::REG_MULTI_SZ) {
    std::string out;
    for (size_t pos = 0; pos < text.size() && text[pos] != '\0';) {
      const size_t end = std::min(text.find('\0', pos), text.size());
      out += (out.empty() ? "" : "\\0") + text.substr(pos, end - pos);
      pos = end + 1;
    }
    return out;
  }
  if (type == platform::REG_DWORD && data.size() == 4) {
    std::snprintf(buf, sizeof buf, "0x%x",
                  data[0] | data[1] << 8 | data[2] << 16 | uint32_t{data[3]} << 24);
    return buf;
  }
  std::string out;
  for (uint8_t b : data) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    out += buf;
  }
  return out;
}

std::string valueLine(const std::string& name, uint32_t type, const std::vector<uint8_t>& data) {
  return "    " + (name.empty() ? std::string("(Default)") : name) + "    " + typeName(type) +
         "    " + formatData(type, data) + "\n";
}

int runQuery(const Arguments& args) {
  Hive hive = args.hive;
  std::string path;
  const bool byOption = args.has("v") || args.has("ve");
  if (args.words.empty() || args.words.size() > 2 || (args.words.size() == 2 && byOption)) {
    return syntaxError("query takes KEY and at most one VALUE (or /v NAME).");
  }
  if (!parseKey(args.words[0], &hive, &path)) return syntaxError("Invalid key name.");
  platform::RegKey key;
  if (long rc = platform::regOpenKey(hive, path, &key); rc != platform::kErrorSuccess) {
    return storeError(rc);
  }
  const bool one = args.words.size() == 2 || byOption;
  const std::string wanted = args.words.size() == 2 ? args.words[1]
                             : args.has("v")        ? args.options.at("v")
                                                    : std::string();
  std::string lines;
  std::vector<platform::RegValueEntry> values;
  platform::regEnumValues(key, &values);
  for (const platform::RegValueEntry& v : values) {
    if (!one || equalsNoCase(v.name, wanted)) lines += valueLine(v.name, v.type, v.data);
  }
  if (one && lines.empty()) return storeError(platform::kErrorFileNotFound);
  std::printf("%s\n%s", fullKeyName(hive, path).c_str(), lines.c_str());
  if (one) return kExitOk;
  std::printf("\n");
  std::vector<std::string> names;
  platform::regEnumKeys(key, &names);
  for (const std::string& name : names) {
    std::printf("%s\\%s\n", fullKeyName(hive, path).c_str(), name.c_str());
  }
  return kExitOk;
}

// The bytes of /d DATA for the type, or an empty text and the reason in *error.
bool encodeData(const std::string& type, const std::string& text, uint32_t* code,
                std::vector<uint8_t>* out, std::string* error) {
  if (text.size() > kMaxDataBytes * 2) {
    *error = "ERROR: The data is too long.";
    return false;
  }
  if (equalsNoCase(type, "REG_SZ") || equalsNoCase(type, "REG_EXPAND_SZ")) {
    *code = equalsNoCase(type, "REG_SZ") ? platform::REG_SZ : platform::REG_EXPAND_SZ;
    out->assign(text.begin(), text.end());
    out->push_back(0);
  } else if (equalsNoCase(type, "REG_MULTI_SZ")) {
    *code = platform::REG_MULTI_SZ;
    for (size_t pos = 0; pos < text.size();) {
      const size_t sep = std::min(text.find("\\0", pos), text.size());
      out->insert(out->end(), text.begin() + pos, text.begin() + sep);
      out->push_back(0);
      pos = sep + 2;
    }
    out->push_back(0);
  } else if (equalsNoCase(type, "REG_DWORD")) {
    *code = platform::REG_DWORD;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(digits.c_str(), &end, hex ? 16 : 10);
    if (digits.empty() || !std::isxdigit(static_cast<unsigned char>(digits[0])) || *end != '\0' ||
        errno != 0 || v > 0xFFFFFFFFull) {
      *error = "ERROR: Invalid REG_DWORD data \"" + text +
               "\": give a number from 0 to 4294967295, decimal or 0x hex.";
      return false;
    }
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
  } else if (equalsNoCase(type, "REG_BINARY")) {
    *code = platform::REG_BINARY;
    const auto digit = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    if (text.size() % 2 != 0 || !std::all_of(text.begin(), text.end(), digit)) {
      *error = "ERROR: Invalid REG_BINARY data: give an even number of hex digits.";
      return false;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
      out->push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
  } else {
    *error = "ERROR: Invalid type \"" + type +
             "\": use REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD or REG_BINARY.";
    return false;
  }
  if (out->size() > kMaxDataBytes) {
    *error = "ERROR: The data is too long (at most 65535 bytes).";
    return false;
  }
  return true;
}

int runAdd(const Arguments& args) {
  Hive hive = args.hive;
  std::string path;
  if (args.words.size() != 1) return syntaxError("add takes one KEY.");
  if (!parseKey(args.words[0], &hive, &path)) return syntaxError("Invalid key name.");
  const bool setsValue = args.has("v") || args.has("ve") || args.has("d") || args.has("t");
  const std::string name = args.has("v") ? args.options.at("v") : "";
  if (name.find_first_of("\r\n") != std::string::npos)
    return failWith("ERROR: Invalid value name.");
  uint32_t type = platform::REG_SZ;
  std::vector<uint8_t> data;
  std::string error;
  const std::string typeText = args.has("t") ? args.options.at("t") : "REG_SZ";
  if (setsValue &&
      !encodeData(typeText, args.has("d") ? args.options.at("d") : "", &type, &data, &error)) {
    return failWith(error);
  }
  platform::RegKey key;
  long rc = platform::regCreateKey(hive, path, &key);
  if (rc == platform::kErrorSuccess && setsValue) {
    rc = platform::regSetValue(key, name, type, data.data(), static_cast<uint32_t>(data.size()));
  }
  if (rc != platform::kErrorSuccess) return storeError(rc);
  std::printf("%s\n", kDone);
  return kExitOk;
}

int runDelete(const Arguments& args) {
  Hive hive = args.hive;
  std::string path;
  if (args.words.size() != 1) return syntaxError("delete takes one KEY.");
  if (!parseKey(args.words[0], &hive, &path)) return syntaxError("Invalid key name.");
  platform::RegKey key;
  long rc = platform::kErrorSuccess;
  if (args.has("v") || args.has("ve")) {
    rc = platform::regOpenKey(hive, path, &key);
    if (rc == platform::kErrorSuccess) {
      rc = platform::regDeleteValue(key, args.has("v") ? args.options.at("v") : "");
    }
  } else if (path.empty()) {
    return failWith("ERROR: A root key cannot be deleted.");
  } else {
    const size_t slash = path.rfind('\\');
    const std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
    rc = platform::regOpenKey(hive, parent, &key);
    if (rc == platform::kErrorSuccess) {
      rc = platform::regDeleteKey(key, slash == std::string::npos ? path : path.substr(slash + 1));
    }
  }
  if (rc != platform::kErrorSuccess) return storeError(rc);
  std::printf("%s\n", kDone);
  return kExitOk;
}

int runImport(const Arguments& args) {
  if (args.words.size() != 1) return syntaxError("import takes one FILE.");
  std::string error;
  if (platform::regImportFile(args.words[0], &error) != platform::kErrorSuccess) {
    return failWith("ERROR: " + error);
  }
  std::printf("%s\n", kDone);
  return kExitOk;
}

int runExport(const Arguments& args) {
  Hive hive = args.hive;
  std::string path;
  if (args.words.size() != 2) return syntaxError("export takes KEY and FILE.");
  if (!parseKey(args.words[0], &hive, &path)) return syntaxError("Invalid key name.");
  std::string error;
  const long rc = platform::regExportKey(hive, path, args.words[1], &error);
  if (rc == platform::kErrorFileNotFound) return failWith(kNotFound);
  if (rc != platform::kErrorSuccess) return failWith("ERROR: " + error);
  std::printf("%s\n", kDone);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  int verbAt = 0;
  for (int i = 1; i < argc && verbAt == 0; ++i) {
    if (std::string(argv[i]) == "localmachine") {
      args.hive = Hive::kLocalMachine;
    } else {
      verbAt = i;
    }
  }
  if (verbAt == 0) return syntaxError("No command given.");
  args.verb = argv[verbAt];
  if (args.verb == "--help" || args.verb == "-h" || args.verb == "/?" || args.verb == "-?") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  for (char& c : args.verb) c = lower(c);
  static const std::map<std::string, std::pair<const char*, int (*)(const Arguments&)>> kVerbs = {
      {"query", {" v ve ", runQuery}},
      {"add", {" v ve t d f ", runAdd}},
      {"delete", {" v ve f ", runDelete}},
      {"import", {" ", runImport}},
      {"export", {" y ", runExport}},
      {"init", {" ", [](const Arguments& a) {
                  return a.words.empty() ? reg_tool::runInit(a.hive)
                                         : syntaxError("init takes no KEY.");
                }}}};
  const auto verb = kVerbs.find(args.verb);
  if (verb == kVerbs.end()) {
    return syntaxError("Unknown command \"" + std::string(argv[verbAt]) + "\".");
  }
  const std::string problem = parseArguments(argc, argv, verbAt + 1, verb->second.first, &args);
  if (!problem.empty()) return syntaxError(problem);
  return verb->second.second(args);
}
