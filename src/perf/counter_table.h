// The performance counters' definition table and the byte layout of the shared counter block that
// follows from it: for each object in table order an object header (64 bytes), one counter
// definition per counter (40 bytes each) and a counter block (its 4-byte length, then one 8-byte
// slot per counter). The three objects take 212, 164 and 452 bytes: 828 in all.
//
// Pure data and functions over memory the caller owns; callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace perf {

constexpr uint32_t kKindEnd = 0;
constexpr uint32_t kKindObject = 1;
constexpr uint32_t kKindCounter = 2;

constexpr uint32_t kDetailNovice = 100;
constexpr uint32_t PERF_COUNTER_COUNTER = 0x400400;
constexpr uint32_t PERF_COUNTER_RAWCOUNT = 0x10000;
constexpr uint32_t PERF_COUNTER_LARGE_RAWCOUNT = 0x10100;

// Sizes of the three parts of an object in the block.
constexpr uint32_t kObjectHeaderSize = 64;
constexpr uint32_t kCounterDefinitionSize = 40;
constexpr uint32_t kSlotSize = 8;

// One record of the table. The computed fields are filled by `indexDefinitions` and `open`.
struct PerfDefinition {
  uint32_t kind;
  uint32_t id;
  const char* name;
  const char* help;
  uint32_t detailLevel;
  int32_t defaultCounter;  // objects: the default counter's id; counters: -1
  int32_t instanceCount;   // -1: no instances
  uint32_t maxInstanceNameLength;
  uint32_t counterCount;  // objects, computed
  int32_t nextObject;     // objects, computed: the next object's record index, -1 for the last
  uint32_t dataSize;      // objects, computed at open: bytes in the block
  uint32_t defaultScale;
  uint32_t counterType;
};

// The 16 records and the end record, as the program defines them.
std::vector<PerfDefinition> definitionTable();

// Walks the records up to the end record: counts records and objects, gives every object its
// counter count and the index of the next object. Records after the end record are not counted.
void indexDefinitions(std::vector<PerfDefinition>* table, uint32_t* records, uint32_t* objects);

// Where one counter lives in the block.
struct CounterPlace {
  uint32_t id;
  uint32_t record;      // index in the table
  uint32_t object;      // index of its object's record
  uint32_t position;    // 0-based among its object's counters
  uint32_t definition;  // offset of its counter definition
  uint32_t slot;        // offset of its slot
  uint32_t width;       // bytes of the slot the counter type uses: 4 or 8
};

struct ObjectPlace {
  uint32_t record;
  uint32_t offset;  // of its header
  uint32_t size;    // 68 + 48 x counters
};

struct BlockLayout {
  std::vector<ObjectPlace> objects;
  std::vector<CounterPlace> counters;
  uint32_t size = 0;
};

// The layout of an indexed table (objects without instances). Also sets each object's dataSize.
BlockLayout blockLayout(std::vector<PerfDefinition>* table);

// The counter's place, or null for an id that has no slot.
const CounterPlace* findCounter(const BlockLayout& layout, uint32_t id);

// Bytes of the slot that a counter type uses: 8 for the large (64-bit) types, else 4.
uint32_t slotWidth(uint32_t counterType);

// Writes headers, counter definitions and counter block lengths into a zeroed block of
// layout.size bytes. Record r takes the name index firstCounter + 2r and the help index
// firstHelp + 2r.
void fillBlock(uint8_t* block, const BlockLayout& layout, const std::vector<PerfDefinition>& table,
               uint32_t firstCounter, uint32_t firstHelp);

// Checks that `size` bytes at `block` hold the layout that fillBlock writes, title indexes aside
// (those must only run on by 2 per record). On a mismatch returns false and says where in
// *problem. Reads nothing past block + size.
bool checkBlock(const uint8_t* block, size_t size, const BlockLayout& layout,
                const std::vector<PerfDefinition>& table, std::string* problem);

// The name and help title indexes that a filled block gives record r.
uint32_t nameIndexAt(const uint8_t* block, const BlockLayout& layout, uint32_t record);
uint32_t helpIndexAt(const uint8_t* block, const BlockLayout& layout, uint32_t record);

// A 32-bit field of the block; the block is in the host's byte order.
uint32_t loadField(const uint8_t* block, uint32_t offset);
void storeField(uint8_t* block, uint32_t offset, uint32_t value);

}  // namespace perf
