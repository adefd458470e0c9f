// A small pattern match for log lines in tests: '*' stands for any text (also none) and '#' for
// one or more decimal digits; every other character stands for itself.
#pragma once

#include <cctype>
#include <string_view>

namespace testing_text {

inline bool matches(std::string_view text, std::string_view pattern) {
  if (pattern.empty()) return text.empty();
  if (pattern[0] == '*') {
    for (size_t skip = 0; skip <= text.size(); ++skip) {
      if (matches(text.substr(skip), pattern.substr(1))) return true;
    }
    return false;
  }
  if (pattern[0] == '#') {
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
      ++digits;
    }
    for (size_t n = digits; n >= 1; --n) {
      if (matches(text.substr(n), pattern.substr(1))) return true;
    }
    return false;
  }
  return !text.empty() && text[0] == pattern[0] && matches(text.substr(1), pattern.substr(1));
}

}  // namespace testing_text
