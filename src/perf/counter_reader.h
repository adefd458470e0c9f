// Reading the shared counter block from outside the publishing process, as `brisklane-perf` does:
// the block is copied into the reader's own memory with pread while the block's `Optex` is held,
// and the copy is checked against the layout this program writes before any value of it is used.
// The block is never mapped: an object cut short under the reader gives a short copy, which is
// refused, not a fault. A block that is not this user's own is refused, as are its lock's objects
// (platform/shared_memory.h), and the Optex is waited for kOptexWait at most.
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
#include "platform/shared_memory.h"

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

// The counters of a block's bytes (`size` of them at `bytes`), checked against the layout this
// program writes before any value is taken: false, with *why, for bytes that are not such a
// block. Names are the built-in ones; `taken` is left as it is. Reads nothing past bytes + size.
bool decodeCounterBlock(const uint8_t* bytes, size_t size, const std::vector<PerfDefinition>& table,
                        const BlockLayout& layout, CounterSnapshot* out, std::string* why);

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
  ReadStatus copyBlock(const platform::SharedMemory& block, CounterSnapshot* out,
                       std::string* problem) const;

  std::string prefix_;
  std::vector<PerfDefinition> table_;
  BlockLayout layout_;
  std::unique_ptr<Optex> optex_;  // made with the first block found
};

// Replaces the built-in names by the titles registered for the block's title indexes; an index
// without a title keeps its name.
void nameCounters(CounterSnapshot* snapshot, const std::map<uint32_t, std::string>& titles);

}  // namespace perf
