#include "perf/counter_reader.h"

#include <cerrno>
#include <cstring>

#include "perf/perf_data.h"

namespace perf {

namespace {

uint64_t slotValue(const uint8_t* slot, uint32_t width) {
  uint64_t value = 0;
  std::memcpy(&value, slot, width);  // the block is in the host's byte order
  return value;
}

}  // namespace

bool decodeCounterBlock(const uint8_t* bytes, size_t size, const std::vector<PerfDefinition>& table,
                        const BlockLayout& layout, CounterSnapshot* out, std::string* why) {
  if (!checkBlock(bytes, size, layout, table, why)) return false;
  CounterSnapshot snapshot;
  snapshot.taken = out->taken;
  for (const ObjectPlace& o : layout.objects) {
    ObjectValues object;
    object.id = table[o.record].id;
    object.nameIndex = nameIndexAt(bytes, layout, o.record);
    object.name = table[o.record].name;
    for (const CounterPlace& c : layout.counters) {
      if (c.object != o.record) continue;
      CounterValue v;
      v.id = c.id;
      v.type = table[c.record].counterType;
      v.width = c.width;
      v.nameIndex = nameIndexAt(bytes, layout, c.record);
      v.name = table[c.record].name;
      v.value = slotValue(bytes + c.slot, c.width);
      object.counters.push_back(std::move(v));
    }
    snapshot.objects.push_back(std::move(object));
  }
  *out = std::move(snapshot);
  return true;
}

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
    *problem = err == EPERM ? foreignObjectText(name, block.found()) + "; it is not read"
                            : "cannot open " + name + ": " + std::strerror(err);
    return ReadStatus::kRefused;
  }
  // Every publisher holds a shared lock on its block; one nobody holds was left behind.
  if (block.tryLockExclusive()) {
    block.unlock();
    return ReadStatus::kNotPublished;
  }
  if (!optex_) optex_ = std::make_unique<Optex>(kServiceName, kOptexSpinCount, prefix_);
  if (!optex_->usable()) {
    *problem = "the counter lock " + optex_->stateName() + " cannot be used";
    return ReadStatus::kRefused;
  }
  OptexHold lock(*optex_);
  if (!lock.held()) {
    *problem = "the counter lock " + optex_->stateName() + " was not free within " +
               std::to_string(kOptexWait.count()) + " ms (held by thread " +
               std::to_string(optex_->owner()) + ")";
    return ReadStatus::kRefused;
  }
  return copyBlock(block, out, problem);
}

ReadStatus CounterReader::copyBlock(const platform::SharedMemory& block, CounterSnapshot* out,
                                    std::string* problem) const {
  const std::string name = blockName();
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
  // The copy is what is checked and what is used; the object may change or shrink meanwhile.
  std::vector<uint8_t> copy(layout_.size);
  size_t got = 0;
  if (const int err = block.readAt(0, copy.data(), copy.size(), &got); err != 0) {
    *problem = "cannot read " + name + ": " + std::strerror(err);
    return ReadStatus::kRefused;
  }
  if (got != copy.size()) {
    *problem = name + " was cut short while it was read: " + std::to_string(got) + " of " +
               std::to_string(layout_.size) + " bytes";
    return ReadStatus::kRefused;
  }
  CounterSnapshot snapshot;
  snapshot.taken = std::chrono::steady_clock::now();
  std::string why;
  if (!decodeCounterBlock(copy.data(), copy.size(), table_, layout_, &snapshot, &why)) {
    *problem = name + " is not a counter block of this program: " + why;
    return ReadStatus::kRefused;
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
