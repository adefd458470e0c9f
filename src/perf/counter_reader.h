// Reading the shared counter block from outside the publishing process, as `brisklane-perf` does:
// the block is mapped read-only, checked against the layout this program writes, and its slots
// copied while the block's `Optex` is held. Nothing past the object's end is ever read.
//
// A reader belongs to one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "perf/counter_table.h"
#include "perf/optex.h"

namespace perf {

struct CounterValue {
  uint32_t id = 0;
  uint32_t type = 0;
  uint32_t width = 4;      // bytes of the slot the type uses
  uint32_t nameIndex = 0;  // the title index the block gives it
  std::string name;        // the registered title, else the built-in name
  uint64_t value = 0;
};

struct ObjectValues {
  uint32_t id = 0;
  uint32_t nameIndex = 0;
  std::string name;
  std::vector<CounterValue> counters;
};

struct CounterSnapshot {
  std::vector<ObjectValues> objects;
  std::chrono::steady_clock::time_point taken;
};

enum class ReadStatus {
  kOk,
  kNotPublished,  // no block, or one that no publisher holds any more
  kRefused,       // an object that is not a counter block of this program, or unreadable
};

class CounterReader {
 public:
  // prefix: of the kernel objects' names, as the publisher's (BRISKLANE_SHM_PREFIX).
  explicit CounterReader(std::string prefix);
  CounterReader(const CounterReader&) = delete;
  CounterReader& operator=(const CounterReader&) = delete;

  // Takes one sample; on kRefused *problem says why. Names are the built-in ones.
  ReadStatus read(CounterSnapshot* out, std::string* problem);
  std::string blockName() const { return "/" + prefix_ + "BKL"; }

 private:
  ReadStatus copyBlock(const uint8_t* block, CounterSnapshot* out, std::string* problem) const;

  std::string prefix_;
  std::vector<PerfDefinition> table_;
  BlockLayout layout_;
  std::unique_ptr<Optex> optex_;  // made with the first block found
};

// Replaces the built-in names by the titles registered for the block's title indexes; an index
// without a title keeps its name.
void nameCounters(CounterSnapshot* snapshot, const std::map<uint32_t, std::string>& titles);

}  // namespace perf
