// The remembered pass phrase (the relay's, Relay::passphrase) as the window's own PKCS#12 readers
// use it: tried first, and a typed password that opened a file is kept. Empty functions: nothing
// is remembered. Window thread.
#pragma once

#include <functional>
#include <string>

namespace ui {

struct PassphraseMemory {
  std::function<std::string()> recall;
  std::function<void(const std::string&)> keep;
};

}  // namespace ui
