// Ready-made log sinks: standard error and an appended file for the daemon, a collecting sink for
// tests. Each serialises `append` with its own mutex and writes a whole line, newline included,
// with one write, so lines from many threads never mix. Texts arrive without a newline; one
// trailing newline that a caller put into its message is not doubled.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"

namespace logging {

// Writes to standard error. When standard error is the systemd journal (JOURNAL_STREAM names
// its device and inode), each line starts with the journal's priority prefix: <3> for serious
// errors and errors, <4> for warnings, <6> for the rest; otherwise lines go out as they are.
class StderrSink final : public LogSink {
 public:
  StderrSink();
  int append(const LogLine& line) override;

  // Whether the descriptor is the stream that JOURNAL_STREAM ("DEVICE:INODE") names.
  static bool isJournalStream(int fd, const char* journalStream);

 private:
  const bool journal_;
  std::mutex mutex_;  // guards count_ and the writes to standard error
  int count_ = 0;
};

// Appends lines to a file, created when missing. Other processes may append to the same file.
class FileSink final : public LogSink {
 public:
  explicit FileSink(const std::string& path);
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  bool isOpen() const { return file_ != nullptr; }
  int append(const LogLine& line) override;

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::mutex mutex_;  // guards file_ writes and count_
  std::unique_ptr<std::FILE, FileCloser> file_;
  int count_ = 0;
};

// Keeps every line in memory; for tests.
class CollectingSink final : public LogSink {
 public:
  struct Entry {
    uint32_t level;
    uint32_t maxLines;
    uint32_t cls;
    uint32_t code;
    std::string text;
  };

  int append(const LogLine& line) override;
  std::vector<std::string> lines() const;
  std::vector<Entry> entries() const;
  void clear();

 private:
  mutable std::mutex mutex_;  // guards entries_
  std::vector<Entry> entries_;
};

}  // namespace logging
