// "BKL I/O Buffer View": the store of the last 100 chunks, paging with the keys and the scroll
// bar, the drawing of every byte in a cell of its own, a window too narrow for one character, and
// chunks arriving from the relay bridge on other threads.
#include "ui/buffer_view.h"

#include <QImage>
#include <QScrollBar>
#include <QtTest>
#include <string>
#include <thread>

#include "ui/relay_bridge.h"

namespace {

std::string numbered(int n) { return "chunk " + std::to_string(n); }

QImage rendered(ui::BufferView& view) { return view.grab().toImage(); }

}  // namespace

class BufferViewTest : public QObject {
  Q_OBJECT

 private slots:
  void keepsTheLastHundredAndWalksBack() {
    ui::BufferView view;
    QCOMPARE(view.windowTitle(), QString("BKL I/O Buffer View"));
    QCOMPARE(view.size(), QSize(300, 200));
    QCOMPARE(view.heading(), QString("Buffer 0 Length 0"));
    for (int n = 1; n <= 150; ++n) view.addChunk(numbered(n));
    QCOMPARE(view.count(), 100);
    QCOMPARE(view.chunk(0), numbered(51));
    QCOMPARE(view.chunk(99), numbered(150));
    QCOMPARE(view.heading(), QString("Buffer 99 Length 9"));

    QTest::keyClick(&view, Qt::Key_Down);  // at the newest: nothing
    QCOMPARE(view.position(), 99);
    QTest::keyClick(&view, Qt::Key_PageDown);
    QCOMPARE(view.position(), 99);
    for (int expected = 98; expected >= 0; --expected) {
      QTest::keyClick(&view, expected % 2 == 0 ? Qt::Key_Up : Qt::Key_PageUp);
      QCOMPARE(view.position(), expected);
    }
    QTest::keyClick(&view, Qt::Key_Up);
    QTest::keyClick(&view, Qt::Key_PageUp);
    QCOMPARE(view.position(), 0);
    QCOMPARE(view.heading(), QString("Buffer 0 Length 8"));
    QTest::keyClick(&view, Qt::Key_PageDown);
    QTest::keyClick(&view, Qt::Key_Down);
    QTest::keyClick(&view, Qt::Key_Home);  // not one of the four
    QCOMPARE(view.position(), 2);

    view.addChunk("newest");  // a new chunk shows at once
    QCOMPARE(view.position(), 99);
    QCOMPARE(view.chunk(0), numbered(52));
  }

  void scrollBarStopsAtTheNewestStored() {
    ui::BufferView view;
    for (int n = 1; n <= 5; ++n) view.addChunk(numbered(n));
    auto* bar = view.findChild<QScrollBar*>();
    QCOMPARE(bar->maximum(), 99);
    bar->setSliderPosition(60);  // a drag past what is stored
    QCOMPARE(view.position(), 4);
    QCOMPARE(bar->value(), 4);
    bar->setSliderPosition(1);
    QCOMPARE(view.position(), 1);
    bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    QCOMPARE(view.position(), 2);
  }

  // Every byte has a cell of its own: what follows a control or 8-bit byte stays in its column.
  void everyByteKeepsItsColumn() {
    ui::BufferView view;
    view.resize(400, 120);
    const std::string plain(40, 'A');
    std::string mixed = plain;
    mixed.replace(0, 6, std::string("\x00\x1b\x7f\x80\xad\xff", 6));
    view.addChunk(plain);
    const QImage a = rendered(view);
    view.addChunk(mixed);
    const QImage b = rendered(view);
    const QFontMetrics metrics(view.viewFont());
    QCOMPARE(view.viewFont().pixelSize(), 13);
    QVERIFY(view.viewFont().fixedPitch());
    const int cell = metrics.horizontalAdvance('0');
    const int line = 3 + metrics.height();
    const QRect after(3 + 6 * cell, line, 30 * cell, metrics.height());
    QCOMPARE(b.copy(after), a.copy(after));
    const QRect first(3, line, 6 * cell, metrics.height());
    QVERIFY(b.copy(first) != a.copy(first));
    // And every byte but the blank leaves a visible mark in its cell, in the fonts at hand.
    view.addChunk("");
    const QImage blank = rendered(view).copy(first);
    for (int byte = 0; byte < 256; ++byte) {
      view.addChunk(std::string(6, static_cast<char>(byte)));
      const bool drawn = rendered(view).copy(first) != blank;
      QVERIFY2(drawn == (byte != ' '), qPrintable(QString::number(byte)));
    }
  }

  void survivesAWindowTooNarrowForOneCharacter() {
    ui::BufferView view;
    view.addChunk(std::string(8192, 'x'));
    for (const QSize size : {QSize(20, 200), QSize(1, 1), QSize(0, 0)}) {
      view.resize(size);
      QCOMPARE(view.charactersPerLine(), 0);
      rendered(view);
    }
    view.resize(300, 200);
    QVERIFY(view.charactersPerLine() > 10);
  }

  void chunksFromOtherThreadsArriveWhole() {
    ui::RelayBridge bridge;
    ui::BufferView view;
    view.takeChunksFrom(&bridge);
    std::thread relay([&bridge] {
      for (int n = 1; n <= 150; ++n) {
        const std::string block = numbered(n) + std::string(static_cast<size_t>(n), '.');
        bridge.relayedChunk(reinterpret_cast<const uint8_t*>(block.data()), block.size(), n % 2);
      }
    });
    relay.join();
    QTRY_COMPARE(view.count() > 0 ? view.chunk(view.count() - 1) : std::string(),
                 numbered(150) + std::string(150, '.'));
    QVERIFY(view.count() <= 100);
    QCOMPARE(view.position(), view.count() - 1);
    for (int i = 0; i < view.count(); ++i) {
      const std::string& c = view.chunk(i);
      const size_t dots = c.size() - c.find('.');
      QCOMPARE(c, numbered(static_cast<int>(dots)) + std::string(dots, '.'));
    }
  }
};

QTEST_MAIN(BufferViewTest)
#include "buffer_view_test.moc"
