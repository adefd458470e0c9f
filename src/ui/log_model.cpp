#include "ui/log_model.h"

namespace ui {

int LogModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

QVariant LogModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() < 0 || static_cast<size_t>(index.row()) >= lines_.size()) {
    return {};
  }
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
  return shown(lines_[static_cast<size_t>(index.row())]);
}

QString LogModel::shown(const std::string& bytes) {
  const QString text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
  // Control characters would break or hide the line: their caret form stands in for them (^G for
  // BEL, ^? for DEL), which every font can draw.
  QString shown;
  shown.reserve(text.size());
  for (const QChar c : text) {
    if (c.unicode() < 0x20 && c != QChar('\t')) {
      shown += QChar('^');
      shown += QChar(c.unicode() + 0x40);
    } else if (c.unicode() == 0x7f) {
      shown += QStringLiteral("^?");
    } else {
      shown += c;
    }
  }
  return shown;
}

void LogModel::removeOldest(size_t count) {
  if (count == 0) return;
  beginRemoveRows(QModelIndex(), 0, static_cast<int>(count) - 1);
  lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(count));
  endRemoveRows();
}

void LogModel::append(const std::vector<PendingLine>& lines) {
  // Trims work out on the batch first, so that each line costs one insertion at most.
  std::deque<std::string> kept;
  size_t dropOld = 0;
  for (const PendingLine& line : lines) {
    const size_t limit = line.trims && line.maxLines != 0 ? line.maxLines : kUnboundedLimit;
    const size_t total = lines_.size() - dropOld + kept.size();
    if (line.trims || total >= kUnboundedLimit) {
      size_t excess = total >= limit ? total - limit : 0;
      const size_t fromOld = std::min(excess, lines_.size() - dropOld);
      dropOld += fromOld;
      excess -= fromOld;
      kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(excess));
    }
    kept.push_back(line.text);
  }
  removeOldest(dropOld);
  if (kept.empty()) return;
  const int first = static_cast<int>(lines_.size());
  beginInsertRows(QModelIndex(), first, first + static_cast<int>(kept.size()) - 1);
  for (std::string& text : kept) lines_.push_back(std::move(text));
  endInsertRows();
}

void LogModel::clear() {
  beginResetModel();
  lines_.clear();
  endResetModel();
}

}  // namespace ui
