// The words of the desktop program's command line: case-sensitive substrings anywhere in it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/registry.h"

namespace ui {

struct CommandLine {
  platform::Hive root = platform::Hive::kCurrentUser;  // "localmachine": the machine's store
  bool sniffer = false;                                // "sniffer": the I/O buffer view
  uint32_t toolbarSize = 0;  // 16 "small", 32 "medium", 48 "large" (first found in that order)
};

// The words of the whole command line (the arguments joined by blanks).
CommandLine readCommandLine(const std::string& line);
std::string joinArguments(int argc, char** argv);

}  // namespace ui
