// "BKL I/O Buffer View": the diagnostic window of "sniffer". It keeps the last 100 chunks the
// relay moved (from either side of every connection), shows the newest and pages back through
// the older ones with its scroll bar or Page Up, Page Down, Up and Down. A chunk is drawn as its
// bytes in a fixed-pitch font, one character cell per byte, in lines as wide as the window.
//
// Window thread only. The chunks come from the relay bridge (`takeChunksFrom`), which copies them
// on the connection threads and hands them over without making those threads wait.
#pragma once

#include <QFont>
#include <QString>
#include <QWidget>
#include <deque>
#include <string>

class QScrollBar;

namespace ui {

class RelayBridge;

class BufferView final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kKeptChunks = 100;

  explicit BufferView(QWidget* parent = nullptr);

  // Every chunk the bridge hands over from now on is added.
  void takeChunksFrom(RelayBridge* bridge);
  // Keeps the chunk as the newest (dropping the oldest of a full store) and shows it.
  void addChunk(std::string bytes);

  int count() const { return static_cast<int>(chunks_.size()); }
  int position() const { return position_; }  // 0 = the oldest kept
  const std::string& chunk(int index) const { return chunks_.at(static_cast<size_t>(index)); }
  QString heading() const;
  const QFont& viewFont() const { return font_; }
  // Characters per line at the present width; 0 when not even one fits.
  int charactersPerLine() const;
  // What stands for a byte in its character cell (see buffer_view.cpp).
  struct Cell {
    QChar glyph;
    bool marked = false;  // drawn in the selection colours: not the byte itself
  };
  static Cell cellFor(unsigned char byte);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void scrollTo(int value);
  void takeFrom(RelayBridge* bridge);
  int textWidth() const;

  QFont font_;
  QScrollBar* scrollBar_ = nullptr;
  std::deque<std::string> chunks_;
  int position_ = 0;
};

}  // namespace ui
