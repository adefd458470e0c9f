// The widgets of the screenshot tour, looked at: each is grabbed into a PNG under
// /tmp/brisklane-cert-shots (to be opened and read), every text the dialogs must carry is there,
// visible and not cut, no two controls overlap, and the buffer view shows what a bridge hands it.
#include <QAbstractButton>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QTabWidget>
#include <QtTest>
#include <memory>

#include "cert_shots_support.h"
#include "ui/buffer_view.h"
#include "ui/relay_bridge.h"

namespace {

const QString kShotFolder = "/tmp/brisklane-cert-shots";

// What each shot must show (labels, group titles, buttons).
const std::map<std::string, QStringList> kTexts = {
    {"passphrase.png", {"Enter Private Key Password", "&OK", "&Cancel"}},
    {"client-certificate.png",
     {"Server Distinguished Name", "Client Certificate", "Password", "OK", "Cancel"}},
    {"load-failure.png", {"OK"}},
    {"viewer-x509.png",
     {"File Name", "X509", "Common Name", "Country", "Locality", "State", "Organisation",
      "Organisation Unit", "E-mail", "OK", "Cancel"}},
    {"viewer-issuer.png",
     {"Issuer", "Common Name", "Country", "Locality", "State", "Organisation", "Organisation Unit",
      "E-mail"}},
    {"viewer-cert-info.png",
     {"Signature", "Valid From", "Valid To", "Signing Alg", "Signature Len", "PK Algorithm",
      "PK Length"}},
    {"viewer-extensions.png",
     {"Version", "Serial ", "X.509 V3 Extensions", "Num Extensions", "Number Critical"}},
};

QString shownText(const QWidget* w) {
  if (const auto* l = qobject_cast<const QLabel*>(w)) return l->text();
  if (const auto* g = qobject_cast<const QGroupBox*>(w)) return g->title();
  if (const auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
  return {};
}

// Texts of the visible labels, groups and buttons, each checked to be shown whole.
QStringList visibleTexts(QWidget* top, QStringList* cut) {
  QStringList texts;
  for (QWidget* w : top->findChildren<QWidget*>()) {
    if (!w->isVisibleTo(top) || shownText(w).isEmpty()) continue;
    texts.append(shownText(w));
    const bool label = qobject_cast<QLabel*>(w) != nullptr;
    if (label && w->width() < w->sizeHint().width()) cut->append(shownText(w));
  }
  return texts;
}

// Controls side by side in one layout never cover each other.
QStringList overlaps(QWidget* top) {
  QStringList found;
  for (QWidget* parent : top->findChildren<QWidget*>()) {
    QList<QWidget*> kids;
    for (QObject* o : parent->children()) {
      auto* w = qobject_cast<QWidget*>(o);
      if (w != nullptr && w->isVisibleTo(top) && !w->isWindow()) kids.append(w);
    }
    for (int i = 0; i < kids.size(); ++i) {
      for (int j = i + 1; j < kids.size(); ++j) {
        if (kids[i]->geometry().intersects(kids[j]->geometry())) {
          found.append(kids[i]->objectName() + "/" + kids[j]->objectName());
        }
      }
    }
  }
  return found;
}

}  // namespace

class CertShotsTest : public QObject {
  Q_OBJECT

 private slots:
  void everyShotIsWholeAndReadable() {
    QDir().mkpath(kShotFolder);
    QWidget owner;
    const auto shots = makeCertificateShots(&owner);
    QCOMPARE(shots.size(), size_t(8));
    for (const auto& [name, widget] : shots) {
      widget->show();
      QVERIFY(QTest::qWaitForWindowExposed(widget));
      const QImage image = widget->grab().toImage();
      QVERIFY(image.save(kShotFolder + "/" + QString::fromStdString(name)));
      QVERIFY2(image.width() >= 250 && image.width() <= 700, name.c_str());
      QVERIFY2(image.height() >= 100 && image.height() <= 600, name.c_str());
      QStringList cut;
      const QStringList texts = visibleTexts(widget, &cut);
      const auto wanted = kTexts.find(name);
      for (const QString& text : wanted != kTexts.end() ? wanted->second : QStringList()) {
        QVERIFY2(texts.contains(text), qPrintable(QString::fromStdString(name) + ": " + text));
      }
      QVERIFY2(cut.isEmpty(), qPrintable(QString::fromStdString(name) + ": " + cut.join(",")));
      const QStringList covered = overlaps(widget);
      QVERIFY2(covered.isEmpty(),
               qPrintable(QString::fromStdString(name) + ": " + covered.join(",")));
      widget->close();
    }
    const auto* view = qobject_cast<ui::BufferView*>(shots.back().second);
    QVERIFY(view != nullptr && view->count() == 2);
  }

  void bufferViewShotTakesWhatTheBridgeHands() {
    ui::RelayBridge bridge;
    QWidget owner;
    const auto shots = makeCertificateShots(&owner, &bridge);
    auto* view = qobject_cast<ui::BufferView*>(shots.back().second);
    QVERIFY(view != nullptr);
    QCOMPARE(view->count(), 0);
    const std::string relayed = "PING relayed\r\n";
    bridge.relayedChunk(reinterpret_cast<const uint8_t*>(relayed.data()), relayed.size(), true);
    QTRY_COMPARE(view->count(), 1);
    QCOMPARE(view->chunk(0), relayed);
  }
};

QTEST_MAIN(CertShotsTest)
#include "cert_shots_test.moc"
