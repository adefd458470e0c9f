// The lines of the log window, oldest first. Lines are kept as the bytes they were logged with
// (the log file gets them as they are); the view shows control characters in caret form (^G) and
// undecodable bytes as replacement characters, so every line is shown.
//
// A line from `log_event` trims the list to "log.max" + 1 lines first (oldest lines go); a line
// of a log BIO is added without trimming. With "log.max" 0 the list is bounded only by
// kUnboundedLimit, so a flood cannot take the program's memory. UI thread only.
#pragma once

#include <QAbstractListModel>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace ui {

struct PendingLine {
  std::string text;
  uint32_t maxLines = 0;  // the line's "log.max"
  bool trims = false;     // a log_event line (a BIO line is added without trimming)
};

class LogModel final : public QAbstractListModel {
  Q_OBJECT

 public:
  // The most lines kept when "log.max" sets no limit.
  static constexpr size_t kUnboundedLimit = 200000;

  using QAbstractListModel::QAbstractListModel;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;

  // Adds lines in the order given, each trimming the list first as it asks.
  void append(const std::vector<PendingLine>& lines);
  void clear();
  const std::string& line(int row) const { return lines_[static_cast<size_t>(row)]; }
  std::vector<std::string> allLines() const { return {lines_.begin(), lines_.end()}; }
  // The text a line is shown with.
  static QString shown(const std::string& bytes);

 private:
  void removeOldest(size_t count);
  std::deque<std::string> lines_;
};

}  // namespace ui
