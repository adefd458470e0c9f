// Writing the log window's lines to a file (Save As): a section begins with two empty lines and
// "-----New Log ----" directly followed by the time stamp; each line follows with "\r\n". Any
// thread; the lines are a copy.
#pragma once

#include <string>
#include <vector>

namespace ui {

constexpr int kLogWriteFailed = 24712;

// Appends (or, with `append` false, writes from the start) the section. 0, or kLogWriteFailed
// when there are no lines (nothing is written) or the file cannot be opened or written.
int writeLogFile(const std::vector<std::string>& lines, const std::string& path, bool append);

}  // namespace ui
