#include "log/sinks.h"

namespace logging {
namespace {

std::string withNewline(std::string_view text) {
  std::string line(text);
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  return line;
}

// One fwrite of the whole line, then a flush, so the line leaves the process in one piece.
bool writeLine(std::FILE* file, std::string_view text) {
  const std::string line = withNewline(text);
  const bool ok = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  return std::fflush(file) == 0 && ok;
}

}  // namespace

int StderrSink::append(uint32_t, uint32_t, uint32_t, std::string_view text) {
  std::lock_guard lock(mutex_);
  if (!writeLine(stderr, text)) return 0;
  return ++count_;
}

FileSink::FileSink(const std::string& path) : file_(std::fopen(path.c_str(), "a")) {}

int FileSink::append(uint32_t, uint32_t, uint32_t, std::string_view text) {
  std::lock_guard lock(mutex_);
  if (!file_ || !writeLine(file_.get(), text)) return 0;
  return ++count_;
}

int CollectingSink::append(uint32_t maxLines, uint32_t cls, uint32_t code, std::string_view text) {
  std::lock_guard lock(mutex_);
  entries_.push_back(Entry{maxLines, cls, code, std::string(text)});
  return static_cast<int>(entries_.size());
}

std::vector<std::string> CollectingSink::lines() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const Entry& e : entries_) out.push_back(e.text);
  return out;
}

std::vector<CollectingSink::Entry> CollectingSink::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

void CollectingSink::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

}  // namespace logging
