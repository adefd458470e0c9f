#include "perf/counter_report.h"

#include <cinttypes>
#include <cstdio>

namespace perf {

namespace {

constexpr size_t kNameColumn = 32;

struct Metric {
  uint32_t id;
  const char* name;
  const char* type;
  const char* help;
};

constexpr Metric kMetrics[] = {
    {101, "brisklane_connections_total", "counter", "Connections accepted by the relay."},
    {103, "brisklane_idle_threads", "gauge", "Worker pool threads waiting for a connection."},
    {104, "brisklane_running_threads", "gauge", "Worker pool threads that exist, idle or busy."},
    {301, "brisklane_incoming_bytes_total", "counter",
     "Bytes relayed from clients towards their destinations."},
    {302, "brisklane_outgoing_bytes_total", "counter",
     "Bytes relayed from destinations back to their clients."},
    {201, "brisklane_ssl_client_connections_total", "counter",
     "SSL handshakes the relay started as client."},
    {203, "brisklane_ssl_client_connections_good_total", "counter",
     "SSL handshakes the relay completed as client."},
    {204, "brisklane_ssl_server_connections_total", "counter",
     "SSL handshakes the relay started as server."},
    {206, "brisklane_ssl_server_connections_good_total", "counter",
     "SSL handshakes the relay completed as server."},
    {207, "brisklane_ssl_session_cache_size", "gauge", "Sessions in the server session cache."},
    {208, "brisklane_ssl_session_cache_hits_total", "counter",
     "Sessions resumed from the server session cache."},
    {209, "brisklane_ssl_session_cache_misses_total", "counter",
     "Session ids asked for that the server session cache did not hold."},
    {210, "brisklane_ssl_session_cache_timeouts_total", "counter",
     "Sessions offered that had expired in the server session cache."},
};

const Metric* metricOf(uint32_t id) {
  for (const Metric& m : kMetrics) {
    if (m.id == id) return &m;
  }
  return nullptr;
}

const CounterValue* findValue(const CounterSnapshot& snapshot, uint32_t id) {
  for (const ObjectValues& o : snapshot.objects) {
    for (const CounterValue& c : o.counters) {
      if (c.id == id) return &c;
    }
  }
  return nullptr;
}

std::string rateText(const CounterValue& c, const CounterSnapshot& now,
                     const CounterSnapshot* previous) {
  const CounterValue* before = previous != nullptr ? findValue(*previous, c.id) : nullptr;
  const double seconds =
      previous != nullptr ? std::chrono::duration<double>(now.taken - previous->taken).count() : 0;
  char text[96];
  if (before == nullptr || seconds <= 0) {
    std::snprintf(text, sizeof text, "%14s  (total %" PRIu64 ")", "-", c.value);
  } else {
    std::snprintf(text, sizeof text, "%14.2f  (total %" PRIu64 ")",
                  counterRate(before->value, c.value, c.width, seconds), c.value);
  }
  return text;
}

}  // namespace

double counterRate(uint64_t before, uint64_t after, uint32_t width, double seconds) {
  if (seconds <= 0) return 0;
  uint64_t delta = after - before;
  if (width == 4) delta &= 0xFFFFFFFFu;
  return static_cast<double>(delta) / seconds;
}

std::string formatText(const CounterSnapshot& now, const CounterSnapshot* previous) {
  std::string out;
  for (const ObjectValues& o : now.objects) {
    out += o.name + "\n";
    for (const CounterValue& c : o.counters) {
      std::string name = c.name;
      if (name.size() < kNameColumn) name.resize(kNameColumn, ' ');
      char value[96];
      if (c.type == PERF_COUNTER_COUNTER) {
        std::snprintf(value, sizeof value, "%s", rateText(c, now, previous).c_str());
      } else {
        std::snprintf(value, sizeof value, "%14" PRIu64, c.value);
      }
      out += "  " + name + " " + value + "\n";
    }
  }
  return out;
}

std::string formatPrometheus(const CounterSnapshot& now) {
  std::string out;
  for (const ObjectValues& o : now.objects) {
    for (const CounterValue& c : o.counters) {
      const Metric* m = metricOf(c.id);
      if (m == nullptr) continue;
      out += std::string("# HELP ") + m->name + " " + m->help + "\n";
      out += std::string("# TYPE ") + m->name + " " + m->type + "\n";
      out += std::string(m->name) + " " + std::to_string(c.value) + "\n";
    }
  }
  return out;
}

}  // namespace perf
