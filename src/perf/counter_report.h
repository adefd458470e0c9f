// How `brisklane-perf` shows a sample of the counters: a text table for people, and the
// Prometheus text exposition format for a scraper. Pure functions; callable from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "perf/counter_reader.h"

namespace perf {

// The change of a counter per second between two samples; 32-bit counters wrap around.
double counterRate(uint64_t before, uint64_t after, uint32_t width, double seconds);

// One sample as a table: each object's name, then its counters' names and values. A counter
// shown as a rate ("Connections / sec") gives its rate since `previous` (when there is one of the
// same block) and its running total.
std::string formatText(const CounterSnapshot& now, const CounterSnapshot* previous);

// One sample in the Prometheus text format: a HELP and a TYPE line and the value for each metric;
// running totals are counters named "..._total", thread counts and the session cache size gauges.
std::string formatPrometheus(const CounterSnapshot& now);

// The content type of formatPrometheus's text.
constexpr char kPrometheusContentType[] = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace perf
