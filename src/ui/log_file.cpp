#include "ui/log_file.h"

#include <cstdio>
#include <memory>

#include "log/log.h"

namespace ui {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

int writeLogFile(const std::vector<std::string>& lines, const std::string& path, bool append) {
  if (lines.empty()) return kLogWriteFailed;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), append ? "ab" : "wb"));
  if (!file) return kLogWriteFailed;
  const std::string heading = "\n\n-----New Log ----" + logging::timeStampText() + "\n";
  bool ok = std::fwrite(heading.data(), 1, heading.size(), file.get()) == heading.size();
  for (const std::string& line : lines) {
    ok = ok && std::fwrite(line.data(), 1, line.size(), file.get()) == line.size() &&
         std::fwrite("\r\n", 1, 2, file.get()) == 2;
  }
  ok = std::fflush(file.get()) == 0 && ok;
  return ok ? 0 : kLogWriteFailed;
}

}  // namespace ui
