// The counters' registration in the machine hive of the configuration store, where the system's
// performance library keeps its lists: the Perflib key with "Last Counter" and "Last Help", its
// language subkey "009" with the title lists "Counter" and "Help" (REG_MULTI_SZ: index text, title,
// index text, title, ..., then an empty text), and the service's Performance key naming the reader
// ("Library", "Open", "Close", "Collect") and the four title indexes it was given.
//
// Registry failures are logged and leave the step undone: a user who may not write the machine
// hive gets no registration, and nothing else changes. Called from the thread that starts and
// stops the program; the store serialises writers, but two programs registering at the same
// moment may take the same indexes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "perf/counter_table.h"

namespace perf {

constexpr char kPerflibKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";
constexpr char kLanguageSubkey[] = "009";

// The key "SYSTEM\CurrentControlSet\Services\<service>\Performance".
std::string performanceKeyPath(const std::string& service);

// The title indexes of one registration.
struct TitleIndexes {
  uint32_t firstCounter = 0;
  uint32_t firstHelp = 0;
  uint32_t lastCounter = 0;
  uint32_t lastHelp = 0;
};

// Title lists. A list is read only up to its end; one without its final terminators counts as
// ending there.
//
// The list with one entry per text appended, the indexes running from `first` by 2; *last is the
// last index written.
std::string appendTitles(std::string_view list, uint32_t first,
                         const std::vector<std::string>& texts, uint32_t* last);
// Removes `count` consecutive entries whose indexes run from `first` by 2 (index texts and titles).
// False, with the list unchanged, when no such run is there.
bool removeTitles(std::string* list, uint32_t first, uint32_t count);
// Index to title, for every entry whose index text is a decimal number.
std::map<uint32_t, std::string> parseTitles(std::string_view list);

// Registers the records' names and help texts after the last ones registered, and the reader
// program `library`. *given receives the indexes taken. Returns 0 or the first registry error.
long registerCounters(const std::string& service, const std::vector<PerfDefinition>& table,
                      uint32_t records, const std::string& library, TitleIndexes* given);
// Removes what registerCounters wrote, as the service's Performance key describes it; *given is
// updated from that key. Returns 0, or the registry error that stopped it.
long unregisterCounters(const std::string& service, uint32_t records, TitleIndexes* given);
// The four indexes kept in the service's Performance key; false when they are not all there.
bool registeredIndexes(const std::string& service, TitleIndexes* given);
// The "Counter" list of the machine hive, parsed; empty when it cannot be read.
std::map<uint32_t, std::string> registeredCounterTitles();

}  // namespace perf
