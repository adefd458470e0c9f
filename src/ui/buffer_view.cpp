#include "ui/buffer_view.h"

#include <QFontMetrics>
#include <QIcon>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QWheelEvent>
#include <algorithm>

#include "ui/relay_bridge.h"

namespace ui {
namespace {

constexpr int kMargin = 3;
constexpr QChar kNoGlyph = QChar(u'\u00B7');  // middle dot

}  // namespace

BufferView::BufferView(QWidget* parent) : QWidget(parent, Qt::Window) {
  setWindowTitle("BKL I/O Buffer View");
  setObjectName("BufferView");
  QIcon icon;
  for (int px : {16, 32, 48}) icon.addFile(QString(":/icons/brisklane-%1.png").arg(px));
  setWindowIcon(icon);
  setCursor(Qt::IBeamCursor);
  setBackgroundRole(QPalette::Window);
  setAutoFillBackground(true);
  setFocusPolicy(Qt::StrongFocus);
  font_ = QFont("Courier");
  font_.setPixelSize(13);
  font_.setWeight(QFont::Normal);
  font_.setStyleHint(QFont::TypeWriter);
  font_.setFixedPitch(true);
  scrollBar_ = new QScrollBar(Qt::Vertical, this);
  scrollBar_->setRange(0, kKeptChunks - 1);
  scrollBar_->setSingleStep(1);
  scrollBar_->setPageStep(1);  // a page is one chunk, as a line is
  scrollBar_->setFocusPolicy(Qt::NoFocus);
  connect(scrollBar_, &QScrollBar::valueChanged, this, &BufferView::scrollTo);
  resize(300, 200);
}

void BufferView::takeChunksFrom(RelayBridge* bridge) {
  connect(bridge, &RelayBridge::chunksWaiting, this, [this, bridge] { takeFrom(bridge); });
  takeFrom(bridge);  // what arrived before the connection
}

void BufferView::takeFrom(RelayBridge* bridge) {
  for (RelayBridge::Chunk& c : bridge->takeChunks()) addChunk(std::move(c.bytes));
}

void BufferView::addChunk(std::string bytes) {
  if (chunks_.size() >= kKeptChunks) chunks_.pop_front();
  chunks_.push_back(std::move(bytes));
  position_ = count() - 1;
  const QSignalBlocker quiet(scrollBar_);
  scrollBar_->setValue(position_);
  update();
}

void BufferView::scrollTo(int value) {
  // Never beyond the newest chunk kept: the bar's range is the store's size, not its filling.
  const int newest = std::max(count() - 1, 0);
  position_ = std::clamp(value, 0, newest);
  if (scrollBar_->value() != position_) {
    const QSignalBlocker quiet(scrollBar_);
    scrollBar_->setValue(position_);
  }
  update();
}

QString BufferView::heading() const {
  const int length = chunks_.empty() ? 0 : static_cast<int>(chunk(position_).size());
  return QString("Buffer %1 Length %2").arg(position_).arg(length);
}

int BufferView::textWidth() const { return width() - scrollBar_->width(); }

int BufferView::charactersPerLine() const {
  const int cell = QFontMetrics(font_).horizontalAdvance(QChar('0'));
  if (cell <= 0) return 0;
  return std::max((textWidth() - 2 * kMargin) / cell, 0);
}

// One cell per byte, so that the lines of a chunk stay aligned whatever it holds, and every cell
// drawn with a glyph that every fixed-pitch font has: printable ASCII and the Latin-1 letters and
// signs as themselves; a control character as the letter of its caret form (^@, ^M, ^[, ^? ...)
// on a marked cell; a byte that would draw nothing visible (0x80 to 0xA0, the soft hyphen 0xAD) as
// a middle dot on a marked cell. The marking keeps "^M" apart from a real "M".
BufferView::Cell BufferView::cellFor(unsigned char byte) {
  if (byte < 0x20 || byte == 0x7F) return {QChar(static_cast<char16_t>(byte ^ 0x40)), true};
  if ((byte >= 0x80 && byte <= 0xA0) || byte == 0xAD) return {kNoGlyph, true};
  return {QChar(static_cast<char16_t>(byte)), false};
}

void BufferView::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.setFont(font_);
  painter.setClipRect(0, 0, textWidth(), height());
  const QFontMetrics metrics(font_);
  const int cell = metrics.horizontalAdvance(QChar('0'));
  const int lineHeight = metrics.height();
  painter.drawText(QRect(kMargin, kMargin, std::max(textWidth() - kMargin, 0), lineHeight),
                   Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, heading());
  const int perLine = charactersPerLine();
  // Too narrow for one character: the heading (clipped) is all there is to see.
  if (chunks_.empty() || perLine == 0) return;
  const std::string& bytes = chunk(position_);
  for (size_t start = 0, k = 1; start < bytes.size(); start += static_cast<size_t>(perLine), ++k) {
    const int y = kMargin + static_cast<int>(k) * lineHeight;
    if (y >= height()) break;  // the rest is below the window
    const size_t end = std::min(bytes.size(), start + static_cast<size_t>(perLine));
    for (size_t i = start; i < end; ++i) {
      const QRect box(kMargin + static_cast<int>(i - start) * cell, y, cell, lineHeight);
      const Cell c = cellFor(static_cast<unsigned char>(bytes[i]));
      if (c.marked) painter.fillRect(box, palette().color(QPalette::Highlight));
      painter.setPen(palette().color(c.marked ? QPalette::HighlightedText : QPalette::WindowText));
      painter.drawText(box, Qt::AlignHCenter | Qt::AlignTop, QString(c.glyph));
    }
  }
}

void BufferView::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_PageUp:
      scrollBar_->triggerAction(QAbstractSlider::SliderPageStepSub);
      break;
    case Qt::Key_PageDown:
      scrollBar_->triggerAction(QAbstractSlider::SliderPageStepAdd);
      break;
    case Qt::Key_Up:
      scrollBar_->triggerAction(QAbstractSlider::SliderSingleStepSub);
      break;
    case Qt::Key_Down:
      scrollBar_->triggerAction(QAbstractSlider::SliderSingleStepAdd);
      break;
    default:
      QWidget::keyPressEvent(event);
  }
}

void BufferView::wheelEvent(QWheelEvent* event) {
  const int delta = event->angleDelta().y();
  if (delta != 0) {
    scrollBar_->triggerAction(delta > 0 ? QAbstractSlider::SliderSingleStepSub
                                        : QAbstractSlider::SliderSingleStepAdd);
  }
  event->accept();
}

void BufferView::resizeEvent(QResizeEvent* event) {
  const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
  scrollBar_->setGeometry(std::max(width() - bar, 0), 0, bar, height());
  QWidget::resizeEvent(event);
}

}  // namespace ui
