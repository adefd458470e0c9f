#include "perf/perf_registration.h"

#include <limits>

#include "log/log.h"
#include "platform/registry.h"

namespace perf {

namespace {

using platform::Hive;
using platform::RegKey;

constexpr char kModule[] = "perf";

uint32_t readDword(const RegKey& key, const char* name, uint32_t fallback, bool* found = nullptr) {
  uint32_t value = 0;
  uint32_t type = 0;
  uint32_t size = sizeof value;
  const bool ok = platform::regQueryValue(key, name, &type, &value, &size) == 0 &&
                  type == platform::REG_DWORD && size == sizeof value;
  if (found != nullptr) *found = ok;
  return ok ? value : fallback;
}

long writeDword(const RegKey& key, const char* name, uint32_t value) {
  return platform::regSetValue(key, name, platform::REG_DWORD, &value, sizeof value);
}

long writeText(const RegKey& key, const char* name, const std::string& text) {
  return platform::regSetValue(key, name, platform::REG_SZ, text.c_str(),
                               static_cast<uint32_t>(text.size() + 1));
}

// A title list; a missing value is an empty list. False for a value of another type.
bool readList(const RegKey& key, const char* name, std::string* list) {
  list->clear();
  uint32_t type = 0;
  uint32_t size = 0;
  if (platform::regQueryValue(key, name, &type, nullptr, &size) != 0) return true;
  if (type != platform::REG_MULTI_SZ) return false;
  list->resize(size);
  if (size > 0 && platform::regQueryValue(key, name, &type, list->data(), &size) != 0) {
    list->clear();
  }
  list->resize(std::min<size_t>(size, list->size()));
  return true;
}

long writeList(const RegKey& key, const char* name, const std::string& list) {
  return platform::regSetValue(key, name, platform::REG_MULTI_SZ, list.data(),
                               static_cast<uint32_t>(list.size()));
}

// The entries of a list, each without its terminator; terminators at the end are the list's end.
std::vector<std::string> splitEntries(std::string_view list) {
  while (!list.empty() && list.back() == '\0') list.remove_suffix(1);
  std::vector<std::string> entries;
  if (list.empty()) return entries;
  size_t start = 0;
  for (;;) {
    const size_t end = list.find('\0', start);
    entries.emplace_back(list.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return entries;
}

std::string joinEntries(const std::vector<std::string>& entries) {
  std::string list;
  for (const std::string& e : entries) {
    list += e;
    list += '\0';
  }
  list += '\0';
  return list;
}

bool parseIndex(const std::string& text, uint32_t* index) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > std::numeric_limits<uint32_t>::max()) return false;
  *index = static_cast<uint32_t>(value);
  return true;
}

// Appends one title list in the language subkey; *last is the last index written.
long appendList(const RegKey& language, const char* name, uint32_t first,
                const std::vector<std::string>& texts, uint32_t* last) {
  std::string list;
  if (!readList(language, name, &list)) {
    log_event(LOG_ERROR, 0x6092, kModule, __LINE__,
              "The value %s of the performance library's titles is not a list of texts; it is "
              "left as it is",
              name);
    *last = first + 2 * static_cast<uint32_t>(texts.size() - 1);
    return platform::kErrorInvalidParameter;
  }
  return writeList(language, name, appendTitles(list, first, texts, last));
}

void removeList(const RegKey& language, const char* name, uint32_t first, uint32_t records) {
  std::string list;
  if (!readList(language, name, &list) || !removeTitles(&list, first, records)) {
    log_event(LOG_WARNING, 0x6092, kModule, __LINE__,
              "The titles from %u on were not found in the list %s; it is left as it is",
              static_cast<unsigned>(first), name);
    return;
  }
  writeList(language, name, list);
}

void logRegistryFailure(const char* what, long rc) {
  log_event(LOG_WARNING, 0x6092, kModule, __LINE__,
            "Couldn't %s the performance counters in the machine store %s (%ld)", what,
            platform::hiveFilePath(Hive::kLocalMachine).c_str(), rc);
}

}  // namespace

std::string performanceKeyPath(const std::string& service) {
  return "SYSTEM\\CurrentControlSet\\Services\\" + service + "\\Performance";
}

std::string appendTitles(std::string_view list, uint32_t first,
                         const std::vector<std::string>& texts, uint32_t* last) {
  std::vector<std::string> entries = splitEntries(list);
  uint32_t index = first;
  for (const std::string& text : texts) {
    entries.push_back(std::to_string(index));
    entries.push_back(text);
    *last = index;
    index += 2;
  }
  return joinEntries(entries);
}

bool removeTitles(std::string* list, uint32_t first, uint32_t count) {
  std::vector<std::string> entries = splitEntries(*list);
  const size_t span = 2 * static_cast<size_t>(count);
  for (size_t at = 0; count > 0 && at + span <= entries.size(); ++at) {
    bool match = true;
    for (uint32_t k = 0; k < count && match; ++k) {
      match = entries[at + 2 * k] == std::to_string(first + 2 * k);
    }
    if (!match) continue;
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(at),
                  entries.begin() + static_cast<std::ptrdiff_t>(at + span));
    *list = joinEntries(entries);
    return true;
  }
  return false;
}

std::map<uint32_t, std::string> parseTitles(std::string_view list) {
  const std::vector<std::string> entries = splitEntries(list);
  std::map<uint32_t, std::string> titles;
  for (size_t i = 0; i + 1 < entries.size(); i += 2) {
    uint32_t index = 0;
    if (parseIndex(entries[i], &index)) titles[index] = entries[i + 1];
  }
  return titles;
}

long registerCounters(const std::string& service, const std::vector<PerfDefinition>& table,
                      uint32_t records, const std::string& library, TitleIndexes* given) {
  RegKey perflib;
  RegKey performance;
  RegKey language;
  long rc = platform::regCreateKey(Hive::kLocalMachine, kPerflibKey, &perflib);
  if (rc == 0)
    rc = platform::regCreateKey(Hive::kLocalMachine, performanceKeyPath(service), &performance);
  if (rc == 0) rc = platform::regOpenSubKey(perflib, kLanguageSubkey, true, &language);
  if (rc != 0) {
    logRegistryFailure("register", rc);
    return rc;
  }
  const uint32_t lastCounter = readDword(perflib, "Last Counter", 0);
  const uint32_t lastHelp = readDword(perflib, "Last Help", 1);
  given->firstCounter = lastCounter + 2;
  given->firstHelp = lastHelp + 2;
  std::vector<std::string> names;
  std::vector<std::string> helps;
  for (uint32_t r = 0; r < records && r < table.size(); ++r) {
    names.emplace_back(table[r].name);
    helps.emplace_back(table[r].help);
  }
  long first = appendList(language, "Counter", given->firstCounter, names, &given->lastCounter);
  const long help = appendList(language, "Help", given->firstHelp, helps, &given->lastHelp);
  if (first == 0) first = help;
  const long values[] = {
      writeDword(perflib, "Last Counter", given->lastCounter),
      writeDword(perflib, "Last Help", given->lastHelp),
      writeText(performance, "Library", library),
      writeText(performance, "Open", "PrfData_Open"),
      writeText(performance, "Close", "PrfData_Close"),
      writeText(performance, "Collect", "PrfData_Collect"),
      writeDword(performance, "First Counter", given->firstCounter),
      writeDword(performance, "First Help", given->firstHelp),
      writeDword(performance, "Last Counter", given->lastCounter),
      writeDword(performance, "Last Help", given->lastHelp),
  };
  for (const long v : values) {
    if (first == 0) first = v;
  }
  if (first != 0) logRegistryFailure("register all of", first);
  return first;
}

bool registeredIndexes(const std::string& service, TitleIndexes* given) {
  RegKey performance;
  if (platform::regOpenKey(Hive::kLocalMachine, performanceKeyPath(service), &performance) != 0) {
    return false;
  }
  bool found[4] = {};
  TitleIndexes read;
  read.firstCounter = readDword(performance, "First Counter", 0, &found[0]);
  read.firstHelp = readDword(performance, "First Help", 0, &found[1]);
  read.lastCounter = readDword(performance, "Last Counter", 0, &found[2]);
  read.lastHelp = readDword(performance, "Last Help", 0, &found[3]);
  if (!(found[0] && found[1] && found[2] && found[3])) return false;
  *given = read;
  return true;
}

long unregisterCounters(const std::string& service, uint32_t records, TitleIndexes* given) {
  RegKey perflib;
  RegKey services;
  long rc = platform::regOpenKey(Hive::kLocalMachine, kPerflibKey, &perflib);
  if (rc == 0) {
    rc = platform::regOpenKey(Hive::kLocalMachine,
                              "SYSTEM\\CurrentControlSet\\Services\\" + service, &services);
  }
  // Without the service's own record of its indexes nothing is known to be ours.
  if (rc != 0 || !registeredIndexes(service, given))
    return rc != 0 ? rc : platform::kErrorFileNotFound;
  const uint32_t lastCounter = readDword(perflib, "Last Counter", 0);
  const uint32_t lastHelp = readDword(perflib, "Last Help", 1);
  RegKey language;
  if (platform::regOpenSubKey(perflib, kLanguageSubkey, false, &language) == 0) {
    removeList(language, "Counter", given->firstCounter, records);
    removeList(language, "Help", given->firstHelp, records);
  }
  const uint32_t taken = 2 * records;
  // Lowered only when nobody registered after us, and never below zero.
  if (given->lastCounter == lastCounter && lastCounter >= taken && lastHelp >= taken) {
    writeDword(perflib, "Last Counter", lastCounter - taken);
    writeDword(perflib, "Last Help", lastHelp - taken);
  }
  rc = platform::regDeleteKey(services, "Performance");
  if (rc != 0) logRegistryFailure("unregister", rc);
  return rc;
}

std::map<uint32_t, std::string> registeredCounterTitles() {
  RegKey language;
  const std::string path = std::string(kPerflibKey) + "\\" + kLanguageSubkey;
  if (platform::regOpenKey(Hive::kLocalMachine, path, &language) != 0) return {};
  std::string list;
  if (!readList(language, "Counter", &list)) return {};
  return parseTitles(list);
}

}  // namespace perf
