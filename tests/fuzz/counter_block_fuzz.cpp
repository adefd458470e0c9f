// Feeds arbitrary bytes to the counter-block reader as the copy brisklane-perf takes of the shared
// block. Whatever it accepts must hold the layout it checks (each value is the slot's bytes) and
// must format as text and as Prometheus text; whatever it refuses must say why.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "perf/counter_reader.h"
#include "perf/counter_report.h"
#include "perf/counter_table.h"

namespace {

struct Layout {
  Layout() : table(perf::definitionTable()) {
    uint32_t records = 0;
    uint32_t objects = 0;
    perf::indexDefinitions(&table, &records, &objects);
    layout = perf::blockLayout(&table);
  }
  std::vector<perf::PerfDefinition> table;
  perf::BlockLayout layout;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Layout kLayout;
  // The reader copies the block into memory of its own; so does the fuzzer, to its exact size.
  const std::vector<uint8_t> copy(data, data + size);
  perf::CounterSnapshot snapshot;
  std::string why;
  if (!perf::decodeCounterBlock(copy.data(), copy.size(), kLayout.table, kLayout.layout, &snapshot,
                                &why)) {
    if (why.empty() || !snapshot.objects.empty()) __builtin_trap();
    return 0;
  }
  if (size != kLayout.layout.size || snapshot.objects.size() != kLayout.layout.objects.size()) {
    __builtin_trap();
  }
  for (const perf::ObjectValues& object : snapshot.objects) {
    for (const perf::CounterValue& counter : object.counters) {
      const perf::CounterPlace* place = perf::findCounter(kLayout.layout, counter.id);
      if (place == nullptr) __builtin_trap();
      uint64_t slot = 0;
      std::memcpy(&slot, copy.data() + place->slot, place->width);
      if (counter.value != slot) __builtin_trap();
    }
  }
  const perf::CounterSnapshot previous = snapshot;
  if (perf::formatText(snapshot, &previous).empty() || perf::formatPrometheus(snapshot).empty()) {
    __builtin_trap();
  }
  return 0;
}
