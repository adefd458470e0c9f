#include "perf/counter_reader.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "perf/perf_data.h"
#include "platform/shared_memory.h"

namespace perf {

namespace {

// A slot as the publisher last stored it. The view is read-only; an atomic load only reads.
uint64_t loadSlot(const uint8_t* slot, uint32_t width) {
  if (width == 8) {
    return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(const_cast<uint8_t*>(slot)))
        .load();
  }
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(slot))).load();
}

}  // namespace

CounterReader::CounterReader(std::string prefix)
    : prefix_(std::move(prefix)), table_(definitionTable()) {
  uint32_t records = 0;
  uint32_t objects = 0;
  indexDefinitions(&table_, &records, &objects);
  layout_ = blockLayout(&table_);
}

ReadStatus CounterReader::read(CounterSnapshot* out, std::string* problem) {
  const std::string name = blockName();
  platform::SharedMemory block;
  if (const int err = block.open(name, false); err != 0) {
    if (err == ENOENT) return ReadStatus::kNotPublished;
    *problem = "cannot open " + name + ": " + std::strerror(err);
    return ReadStatus::kRefused;
  }
  // Every publisher holds a shared lock on its block; one nobody holds was left behind.
  if (block.tryLockExclusive()) {
    block.unlock();
    return ReadStatus::kNotPublished;
  }
  if (!optex_) optex_ = std::make_unique<Optex>(kServiceName, kOptexSpinCount, prefix_);
  OptexHold lock(*optex_);
  size_t size = 0;
  if (const int err = block.objectSize(&size); err != 0) {
    *problem = "cannot read " + name + ": " + std::strerror(err);
    return ReadStatus::kRefused;
  }
  if (size != layout_.size) {
    *problem = name + " is not a counter block: it has " + std::to_string(size) + " bytes, not " +
               std::to_string(layout_.size);
    return ReadStatus::kRefused;
  }
  if (const int err = block.map(layout_.size); err != 0) {
    *problem = "cannot map " + name + ": " + std::strerror(err);
    return ReadStatus::kRefused;
  }
  return copyBlock(block.data(), out, problem);
}

ReadStatus CounterReader::copyBlock(const uint8_t* block, CounterSnapshot* out,
                                    std::string* problem) const {
  // The definitions are checked on a copy, so that what was checked is what is used.
  std::vector<uint8_t> copy(block, block + layout_.size);
  std::string why;
  if (!checkBlock(copy.data(), copy.size(), layout_, table_, &why)) {
    *problem = blockName() + " is not a counter block of this program: " + why;
    return ReadStatus::kRefused;
  }
  CounterSnapshot snapshot;
  snapshot.taken = std::chrono::steady_clock::now();
  for (const ObjectPlace& o : layout_.objects) {
    ObjectValues object;
    object.id = table_[o.record].id;
    object.nameIndex = nameIndexAt(copy.data(), layout_, o.record);
    object.name = table_[o.record].name;
    for (const CounterPlace& c : layout_.counters) {
      if (c.object != o.record) continue;
      CounterValue v;
      v.id = c.id;
      v.type = table_[c.record].counterType;
      v.width = c.width;
      v.nameIndex = nameIndexAt(copy.data(), layout_, c.record);
      v.name = table_[c.record].name;
      v.value = loadSlot(block + c.slot, c.width);
      object.counters.push_back(std::move(v));
    }
    snapshot.objects.push_back(std::move(object));
  }
  *out = std::move(snapshot);
  return ReadStatus::kOk;
}

void nameCounters(CounterSnapshot* snapshot, const std::map<uint32_t, std::string>& titles) {
  auto title = [&](uint32_t index, std::string* name) {
    const auto it = titles.find(index);
    if (it != titles.end() && !it->second.empty()) *name = it->second;
  };
  for (ObjectValues& o : snapshot->objects) {
    title(o.nameIndex, &o.name);
    for (CounterValue& c : o.counters) title(c.nameIndex, &c.name);
  }
}

}  // namespace perf
