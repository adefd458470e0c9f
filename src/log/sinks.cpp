#include "log/sinks.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

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

// The journal's priority prefix for a level: the syslog numbers of sd-daemon(3).
const char* journalPrefix(uint32_t level) {
  if ((level & (LOG_SERIOUS | LOG_ERROR)) != 0) return "<3>";
  if ((level & LOG_WARNING) != 0) return "<4>";
  return "<6>";
}

// Every line of the text gets the prefix, so that the journal gives a message of several lines
// one priority.
std::string withJournalPrefix(std::string_view text, const char* prefix) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    out += prefix;
    out.append(text.substr(start, end - start));
    out.push_back('\n');
    start = end + 1;
  }
  return out.empty() ? std::string(prefix) : out;
}

}  // namespace

std::string timeStampText() {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  char text[32];
  std::snprintf(text, sizeof text, "%.3s %.3s %2d %02d:%02d:%02d %04d", kDays[t.tm_wday % 7],
                kMonths[t.tm_mon % 12], t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                (t.tm_year + 1900) % 10000);
  return text;
}

StderrSink::StderrSink() : journal_(isJournalStream(2, std::getenv("JOURNAL_STREAM"))) {}

bool StderrSink::isJournalStream(int fd, const char* journalStream) {
  if (journalStream == nullptr) return false;
  uintmax_t device = 0;
  uintmax_t inode = 0;
  char rest = 0;
  if (std::sscanf(journalStream, "%ju:%ju%c", &device, &inode, &rest) != 2) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  return static_cast<uintmax_t>(st.st_dev) == device && static_cast<uintmax_t>(st.st_ino) == inode;
}

int StderrSink::append(const LogLine& line) {
  const std::string text =
      journal_ ? withJournalPrefix(line.text, journalPrefix(line.level)) : std::string(line.text);
  std::lock_guard lock(mutex_);
  if (!writeLine(stderr, text)) return 0;
  return ++count_;
}

FileSink::FileSink(const std::string& path) : file_(std::fopen(path.c_str(), "a")) {}

int FileSink::append(const LogLine& line) {
  std::lock_guard lock(mutex_);
  if (!file_ || !writeLine(file_.get(), line.text)) return 0;
  return ++count_;
}

int CollectingSink::append(const LogLine& line) {
  std::lock_guard lock(mutex_);
  entries_.push_back(Entry{line.level, line.maxLines, line.cls, line.code, std::string(line.text)});
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
