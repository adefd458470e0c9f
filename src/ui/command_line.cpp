#include "ui/command_line.h"

namespace ui {

CommandLine readCommandLine(const std::string& line) {
  CommandLine words;
  const auto has = [&line](const char* word) { return line.find(word) != std::string::npos; };
  if (has("localmachine")) words.root = platform::Hive::kLocalMachine;
  words.sniffer = has("sniffer");
  if (has("small")) {
    words.toolbarSize = 16;
  } else if (has("medium")) {
    words.toolbarSize = 32;
  } else if (has("large")) {
    words.toolbarSize = 48;
  }
  return words;
}

std::string joinArguments(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (!line.empty()) line += ' ';
    line += argv[i];
  }
  return line;
}

}  // namespace ui
