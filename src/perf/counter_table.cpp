#include "perf/counter_table.h"

#include <cstring>

namespace perf {

namespace {

// Fields of an object header.
constexpr uint32_t kObjTotalLength = 0;
constexpr uint32_t kObjDefinitionLength = 4;
constexpr uint32_t kObjHeaderLength = 8;
constexpr uint32_t kObjNameIndex = 12;
constexpr uint32_t kObjNameTitle = 16;
constexpr uint32_t kObjHelpIndex = 20;
constexpr uint32_t kObjHelpTitle = 24;
constexpr uint32_t kObjDetailLevel = 28;
constexpr uint32_t kObjNumCounters = 32;
constexpr uint32_t kObjDefaultCounter = 36;
constexpr uint32_t kObjNumInstances = 40;
constexpr uint32_t kObjCodePage = 44;
// 48: the performance time, 56: its frequency (8 bytes each, left 0).

// Fields of a counter definition.
constexpr uint32_t kDefByteLength = 0;
constexpr uint32_t kDefNameIndex = 4;
constexpr uint32_t kDefNameTitle = 8;
constexpr uint32_t kDefHelpIndex = 12;
constexpr uint32_t kDefHelpTitle = 16;
constexpr uint32_t kDefDefaultScale = 20;
constexpr uint32_t kDefDetailLevel = 24;
constexpr uint32_t kDefCounterType = 28;
constexpr uint32_t kDefCounterSize = 32;
constexpr uint32_t kDefCounterOffset = 36;

constexpr uint32_t kNoInstances = 0xFFFFFFFF;  // -1

PerfDefinition object(uint32_t id, uint32_t defaultCounter, const char* name, const char* help) {
  return {.kind = kKindObject,
          .id = id,
          .name = name,
          .help = help,
          .detailLevel = kDetailNovice,
          .defaultCounter = static_cast<int32_t>(defaultCounter),
          .instanceCount = -1,
          .maxInstanceNameLength = 0,
          .counterCount = 0,
          .nextObject = -1,
          .dataSize = 0,
          .defaultScale = 0,
          .counterType = 0};
}

PerfDefinition counter(uint32_t id, uint32_t type, const char* name, const char* help) {
  return {.kind = kKindCounter,
          .id = id,
          .name = name,
          .help = help,
          .detailLevel = kDetailNovice,
          .defaultCounter = -1,
          .instanceCount = -1,
          .maxInstanceNameLength = 0,
          .counterCount = 0,
          .nextObject = -1,
          .dataSize = 0,
          .defaultScale = 0,
          .counterType = type};
}

// The counters of one object: the records after it up to the next object or the end.
std::vector<const CounterPlace*> countersOf(const BlockLayout& layout, uint32_t objectRecord) {
  std::vector<const CounterPlace*> out;
  for (const CounterPlace& c : layout.counters) {
    if (c.object == objectRecord) out.push_back(&c);
  }
  return out;
}

uint32_t defaultPosition(const BlockLayout& layout, const PerfDefinition& obj, uint32_t record) {
  for (const CounterPlace* c : countersOf(layout, record)) {
    if (static_cast<int32_t>(c->id) == obj.defaultCounter) return c->position;
  }
  return 0;
}

}  // namespace

std::vector<PerfDefinition> definitionTable() {
  return {
      object(100, 101, "BKL - Thread Pool Statistics",
             "The BKL object type includes those counters that apply to threads and connections."),
      counter(101, PERF_COUNTER_COUNTER, "Connections / sec",
              "The number of connections per second"),
      counter(103, PERF_COUNTER_RAWCOUNT, "Idle Threads", "The number of idle threads"),
      counter(104, PERF_COUNTER_RAWCOUNT, "Running Threads", "The number running threads"),
      object(300, 301, "BKL - Connection Throughput",
             "BKL object type which includes those counters that apply to connection data "
             "through."),
      counter(301, PERF_COUNTER_LARGE_RAWCOUNT, "Incoming Connections /bytes",
              "The number of incomming connections"),
      counter(302, PERF_COUNTER_LARGE_RAWCOUNT, "Outgoing Connections /bytes",
              "The number of outgoing"),
      object(200, 204, "BKL - SSL Statistics",
             "The BKL object type includes those counters that apply to SSL connects details."),
      counter(201, PERF_COUNTER_RAWCOUNT, "SSL client connections total",
              "The number of SSL client connections  "),
      counter(203, PERF_COUNTER_RAWCOUNT, "SSL good client connections",
              "The number of successful SSL client connections"),
      counter(204, PERF_COUNTER_RAWCOUNT, "SSL server connections total",
              "The number of SSL server connections  "),
      counter(206, PERF_COUNTER_RAWCOUNT, "SSL good server connections",
              "The number of successful SSL server connections"),
      counter(207, PERF_COUNTER_RAWCOUNT, "Session Cache Size", "size of session cache"),
      counter(208, PERF_COUNTER_RAWCOUNT, "Session Cache Hits",
              "The number of successful session cache lookups"),
      counter(209, PERF_COUNTER_RAWCOUNT, "Session Cache Misses",
              "The number of failures to lookup in the session cache"),
      counter(210, PERF_COUNTER_RAWCOUNT, "Session Cache Timeouts",
              "The number of session cache timeouts"),
      {kKindEnd, 0, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0},
  };
}

void indexDefinitions(std::vector<PerfDefinition>* table, uint32_t* records, uint32_t* objects) {
  *records = 0;
  *objects = 0;
  int32_t previousObject = -1;
  for (uint32_t i = 0; i < table->size() && (*table)[i].kind != kKindEnd; ++i) {
    PerfDefinition& d = (*table)[i];
    ++*records;
    if (d.kind == kKindObject) {
      d.counterCount = 0;
      d.nextObject = -1;
      if (previousObject >= 0) (*table)[previousObject].nextObject = static_cast<int32_t>(i);
      previousObject = static_cast<int32_t>(i);
      ++*objects;
    } else if (previousObject >= 0) {
      ++(*table)[previousObject].counterCount;
    }
  }
}

uint32_t slotWidth(uint32_t counterType) { return (counterType & 0x300) == 0x100 ? 8 : 4; }

BlockLayout blockLayout(std::vector<PerfDefinition>* table) {
  BlockLayout layout;
  uint32_t offset = 0;
  for (uint32_t i = 0; i < table->size() && (*table)[i].kind != kKindEnd; ++i) {
    PerfDefinition& obj = (*table)[i];
    if (obj.kind != kKindObject) continue;
    obj.dataSize = kObjectHeaderSize + 4 + (kCounterDefinitionSize + kSlotSize) * obj.counterCount;
    layout.objects.push_back({i, offset, obj.dataSize});
    const uint32_t slots = offset + kObjectHeaderSize + kCounterDefinitionSize * obj.counterCount;
    for (uint32_t k = 0; k < obj.counterCount; ++k) {
      const PerfDefinition& c = (*table)[i + 1 + k];
      layout.counters.push_back({c.id, i + 1 + k, i, k,
                                 offset + kObjectHeaderSize + kCounterDefinitionSize * k,
                                 slots + 4 + kSlotSize * k, slotWidth(c.counterType)});
    }
    offset += obj.dataSize;
  }
  layout.size = offset;
  return layout;
}

const CounterPlace* findCounter(const BlockLayout& layout, uint32_t id) {
  for (const CounterPlace& c : layout.counters) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

uint32_t loadField(const uint8_t* block, uint32_t offset) {
  uint32_t value = 0;
  std::memcpy(&value, block + offset, sizeof value);
  return value;
}

void storeField(uint8_t* block, uint32_t offset, uint32_t value) {
  std::memcpy(block + offset, &value, sizeof value);
}

void fillBlock(uint8_t* block, const BlockLayout& layout, const std::vector<PerfDefinition>& table,
               uint32_t firstCounter, uint32_t firstHelp) {
  for (const ObjectPlace& o : layout.objects) {
    const PerfDefinition& obj = table[o.record];
    uint8_t* h = block + o.offset;
    storeField(h, kObjTotalLength, 0);
    storeField(h, kObjDefinitionLength,
               kObjectHeaderSize + kCounterDefinitionSize * obj.counterCount);
    storeField(h, kObjHeaderLength, kObjectHeaderSize);
    storeField(h, kObjNameIndex, firstCounter + 2 * o.record);
    storeField(h, kObjHelpIndex, firstHelp + 2 * o.record);
    storeField(h, kObjDetailLevel, obj.detailLevel);
    storeField(h, kObjNumCounters, obj.counterCount);
    storeField(h, kObjDefaultCounter, defaultPosition(layout, obj, o.record));
    storeField(h, kObjNumInstances, kNoInstances);
    storeField(h, kObjCodePage, 0);
    for (const CounterPlace* c : countersOf(layout, o.record)) {
      const PerfDefinition& def = table[c->record];
      uint8_t* d = block + c->definition;
      storeField(d, kDefByteLength, kCounterDefinitionSize);
      storeField(d, kDefNameIndex, firstCounter + 2 * c->record);
      storeField(d, kDefHelpIndex, firstHelp + 2 * c->record);
      storeField(d, kDefDefaultScale, def.defaultScale);
      storeField(d, kDefDetailLevel, def.detailLevel);
      storeField(d, kDefCounterType, def.counterType);
      storeField(d, kDefCounterSize, kSlotSize);
      storeField(d, kDefCounterOffset, 4 + kSlotSize * c->position);
    }
    storeField(block, o.offset + o.size - 4 - kSlotSize * obj.counterCount,
               4 + kSlotSize * obj.counterCount);
  }
}

namespace {

// A field of the object type or counter definition that a record became; 0 for no such record.
uint32_t recordFieldAt(const uint8_t* block, const BlockLayout& layout, uint32_t record,
                       uint32_t objectField, uint32_t definitionField) {
  for (const ObjectPlace& o : layout.objects) {
    if (o.record == record) return loadField(block, o.offset + objectField);
  }
  for (const CounterPlace& c : layout.counters) {
    if (c.record == record) return loadField(block, c.definition + definitionField);
  }
  return 0;
}

}  // namespace

uint32_t nameIndexAt(const uint8_t* block, const BlockLayout& layout, uint32_t record) {
  return recordFieldAt(block, layout, record, kObjNameIndex, kDefNameIndex);
}

uint32_t helpIndexAt(const uint8_t* block, const BlockLayout& layout, uint32_t record) {
  return recordFieldAt(block, layout, record, kObjHelpIndex, kDefHelpIndex);
}

namespace {

// Compares the fields a filled block must hold; the first mismatch is described.
class BlockChecker {
 public:
  BlockChecker(const uint8_t* block, std::string* problem) : block_(block), problem_(problem) {}
  bool field(uint32_t offset, uint32_t expected, const char* what) {
    const uint32_t found = loadField(block_, offset);
    if (found == expected) return true;
    *problem_ = std::string(what) + " at byte " + std::to_string(offset) + " is " +
                std::to_string(found) + ", not " + std::to_string(expected);
    return false;
  }

 private:
  const uint8_t* block_;
  std::string* problem_;
};

bool checkObject(BlockChecker& check, const BlockLayout& layout, const ObjectPlace& o,
                 const std::vector<PerfDefinition>& table) {
  const PerfDefinition& obj = table[o.record];
  const uint32_t h = o.offset;
  if (!check.field(h + kObjDefinitionLength,
                   kObjectHeaderSize + kCounterDefinitionSize * obj.counterCount,
                   "the definition length") ||
      !check.field(h + kObjHeaderLength, kObjectHeaderSize, "the header length") ||
      !check.field(h + kObjNameTitle, 0, "the object name title") ||
      !check.field(h + kObjHelpTitle, 0, "the object help title") ||
      !check.field(h + kObjNumCounters, obj.counterCount, "the number of counters") ||
      !check.field(h + kObjDefaultCounter, defaultPosition(layout, obj, o.record),
                   "the default counter") ||
      !check.field(h + kObjDetailLevel, obj.detailLevel, "an object detail level") ||
      !check.field(h + kObjNumInstances, kNoInstances, "the number of instances")) {
    return false;
  }
  for (const CounterPlace* c : countersOf(layout, o.record)) {
    const uint32_t d = c->definition;
    if (!check.field(d + kDefByteLength, kCounterDefinitionSize, "a counter definition length") ||
        !check.field(d + kDefNameTitle, 0, "a counter name title") ||
        !check.field(d + kDefHelpTitle, 0, "a counter help title") ||
        !check.field(d + kDefDetailLevel, table[c->record].detailLevel, "a detail level") ||
        !check.field(d + kDefCounterType, table[c->record].counterType, "a counter type") ||
        !check.field(d + kDefCounterSize, kSlotSize, "a counter size") ||
        !check.field(d + kDefCounterOffset, 4 + kSlotSize * c->position, "a counter offset")) {
      return false;
    }
  }
  return check.field(o.offset + o.size - 4 - kSlotSize * obj.counterCount,
                     4 + kSlotSize * obj.counterCount, "a counter block length");
}

}  // namespace

bool checkBlock(const uint8_t* block, size_t size, const BlockLayout& layout,
                const std::vector<PerfDefinition>& table, std::string* problem) {
  if (size != layout.size) {
    *problem = "it has " + std::to_string(size) + " bytes, not " + std::to_string(layout.size);
    return false;
  }
  BlockChecker check(block, problem);
  for (const ObjectPlace& o : layout.objects) {
    if (!checkObject(check, layout, o, table)) return false;
  }
  const uint32_t name0 = nameIndexAt(block, layout, 0);
  const uint32_t help0 = helpIndexAt(block, layout, 0);
  for (const ObjectPlace& o : layout.objects) {
    if (!check.field(o.offset + kObjNameIndex, name0 + 2 * o.record, "an object name index") ||
        !check.field(o.offset + kObjHelpIndex, help0 + 2 * o.record, "an object help index")) {
      return false;
    }
  }
  for (const CounterPlace& c : layout.counters) {
    if (!check.field(c.definition + kDefNameIndex, name0 + 2 * c.record, "a counter name index") ||
        !check.field(c.definition + kDefHelpIndex, help0 + 2 * c.record, "a counter help index")) {
      return false;
    }
  }
  return true;
}

}  // namespace perf
