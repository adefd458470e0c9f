// "Cert Viewer" on files the openssl tool made (DER, PEM, PKCS#12, and one that is no
// certificate) and on a certificate built here with what a hostile issuer may put in it: the
// pages' labels, each field against what the tool itself says of the file, and the empty fields.
#include "ui/certificate_viewer.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QtTest>

#include "cert_test_support.h"
#include "config/settings.h"
#include "ui/modal.h"
#include "ui/passphrase_dialog.h"

using namespace cert_test;

namespace {

QString field(const QDialog& viewer, const char* name) {
  const auto* edit = viewer.findChild<QLineEdit*>(name);
  return edit != nullptr ? edit->text() : QString("<no field %1>").arg(name);
}

// The value of `openssl x509 -noout -<option>` after its "name=".
QString toolSays(const std::string& file, const std::string& option) {
  TempDir out;
  run({"openssl", "x509", "-in", file, "-noout", "-" + option}, out.file("out"));
  QString text = QString::fromStdString(readFile(out.file("out"))).trimmed();
  return text.mid(text.indexOf('=') + 1);
}

void addEntry(X509_NAME* name, int nid, const std::string& bytes, int type = V_ASN1_UTF8STRING) {
  // The bytes taken as they are: no length limit, no check of their encoding.
  X509_NAME_add_entry_by_NID(name, nid, type, reinterpret_cast<const unsigned char*>(bytes.data()),
                             static_cast<int>(bytes.size()), -1, 0);
}

void setTime(ASN1_TIME* time, int type, const char* text) {
  ASN1_STRING_set(time, text, static_cast<int>(strlen(text)));
  time->type = type;
}

// An EC certificate whose names hold 1,000 characters, 8-bit bytes in a teletex string and a line
// break, a start that is no valid time and an end in 2051 (a GeneralizedTime). With
// `brokenUtf8`, a UTF8String that is not UTF-8 as well (the library refuses to read such a name).
bool writeHostileCertificate(const std::string& file, bool brokenUtf8) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 0x1234);
  X509_NAME* name = X509_get_subject_name(cert);
  addEntry(name, NID_commonName, std::string(1000, 'n'));
  addEntry(name, NID_organizationName, std::string("bad \xff\xfe bytes", 12), V_ASN1_T61STRING);
  if (brokenUtf8) addEntry(name, NID_organizationalUnitName, std::string("\xff\xfe", 2));
  addEntry(name, NID_localityName, "two\nlines");
  X509_set_issuer_name(cert, name);
  setTime(X509_getm_notBefore(cert), V_ASN1_UTCTIME, "991301000000Z");
  setTime(X509_getm_notAfter(cert), V_ASN1_GENERALIZEDTIME, "20510102030405Z");
  X509_set_pubkey(cert, key);
  const bool signedOk = X509_sign(cert, key, EVP_sha256()) > 0;
  FILE* out = fopen(file.c_str(), "wb");
  const bool written = out != nullptr && PEM_write_X509(out, cert) == 1;
  if (out != nullptr) fclose(out);
  X509_free(cert);
  EVP_PKEY_free(key);
  return signedOk && written;
}

}  // namespace

class CertificateViewerTest : public QObject {
  Q_OBJECT

 private:
  TempDir dir_;
  int prompts_ = 0;
  QString answer_;

  void checkViewerCertificate(const ui::CertificateViewer& v, const std::string& pem) {
    QVERIFY(v.loaded());
    const char* subject[] = {"CommonName",   "Country",          "Locality", "State",
                             "Organisation", "OrganisationUnit", "Email"};
    const QStringList expected = {"viewer.example.org", "DE",        "Frankfurt am Main", "Hessen",
                                  "Tandry Test",        "Relay Lab", "admin@example.org"};
    for (int i = 0; i < 7; ++i) {
      QCOMPARE(field(v, (std::string("subject") + subject[i]).c_str()), expected[i]);
      QCOMPARE(field(v, (std::string("issuer") + subject[i]).c_str()), expected[i]);
    }
    QCOMPARE(field(v, "validFrom"), toolSays(pem, "startdate"));
    QCOMPARE(field(v, "validTo"), toolSays(pem, "enddate"));
    QCOMPARE(field(v, "signingAlg"), QString("sha384WithRSAEncryption"));
    QCOMPARE(field(v, "signatureLen"), QString("384"));
    QCOMPARE(field(v, "pkAlgorithm"), QString("rsaEncryption"));
    QCOMPARE(field(v, "pkLength"), QString("3072"));
    QCOMPARE(field(v, "version"), QString("3"));
    QCOMPARE(field(v, "serial"), toolSays(pem, "serial"));
    QCOMPARE(field(v, "numExtensions"), QString("6"));
    QCOMPARE(field(v, "numCritical"), QString("2"));
    QVERIFY(field(v, "extension1").startsWith("X509v3 Subject Key Identifier: "));
    QVERIFY(field(v, "extension2").startsWith("X509v3 Authority Key Identifier: "));
    QCOMPARE(field(v, "extension3"), QString("X509v3 Basic Constraints: critical, CA:FALSE"));
    QCOMPARE(field(v, "extension4"),
             QString("X509v3 Key Usage: critical, Digital Signature, Key Encipherment"));
  }

 private slots:
  void initTestCase() {
    QVERIFY(makeCertificateFiles(dir_.path()));
    ui::setModalHook([this](QDialog* dialog) {
      auto* prompt = qobject_cast<ui::PassphraseDialog*>(dialog);
      if (prompt == nullptr) return int(QDialog::Rejected);
      ++prompts_;
      if (prompt->prompt() != "Enter PKCS12 Certificate password") return int(QDialog::Rejected);
      prompt->setPassphrase(answer_);
      prompt->findChild<QPushButton*>(answer_.isEmpty() ? "cancel" : "ok")->click();
      return prompt->result();
    });
  }

  void init() { prompts_ = 0; }

  // The labels of each page are checked with the screenshots (cert_shots_test); here the sheet.
  void sheetHasFourPagesAndNoApply() {
    ui::CertificateViewer v(nullptr, QString::fromStdString(dir_.file("viewer.der")));
    QCOMPARE(v.windowTitle(), QString("Cert Viewer"));
    const auto* pages = v.findChild<QTabWidget*>("pages");
    const QStringList titles = {"X509", "Issuer", "Cert Info", "X509 Extensions"};
    QCOMPARE(pages->count(), 4);
    for (int i = 0; i < 4; ++i) QCOMPARE(pages->tabText(i), titles[i]);
    QCOMPARE(pages->widget(3)->findChildren<QLineEdit*>().size(), 8);  // four unlabeled lines
    QCOMPARE(v.findChildren<QPushButton*>().size(), 2);                // OK and Cancel, no Apply
  }

  void derAndPemShowTheirFieldsWithoutAPrompt() {
    const std::string pem = dir_.file("viewer.pem");
    for (const std::string& file : {dir_.file("viewer.der"), pem}) {
      ui::CertificateViewer v(nullptr, QString::fromStdString(file));
      QCOMPARE(field(v, "fileName"), QString::fromStdString(file));
      checkViewerCertificate(v, pem);
    }
    QCOMPARE(prompts_, 0);
  }

  void pkcs12AsksForItsPassword() {
    const QString p12 = QString::fromStdString(dir_.file("viewer.p12"));
    answer_ = "";
    {
      ui::CertificateViewer cancelled(nullptr, p12);
      QVERIFY(!cancelled.loaded());
      QCOMPARE(field(cancelled, "subjectCommonName"), QString());
    }
    answer_ = kP12Password;
    ui::CertificateViewer v(nullptr, p12);
    checkViewerCertificate(v, dir_.file("viewer.pem"));
    QCOMPARE(prompts_, 2);
  }

  void noCertificateLeavesEveryFieldEmpty() {
    writeFile(dir_.file("notes.txt"), "-----BEGIN CERTIFICATE-----\nnot really\n");
    for (const std::string& file : {dir_.file("notes.txt"), dir_.file("missing.der")}) {
      ui::CertificateViewer v(nullptr, QString::fromStdString(file));
      QVERIFY(!v.loaded());
      QCOMPARE(field(v, "fileName"), QString::fromStdString(file));
      for (const QLineEdit* edit : v.findChildren<QLineEdit*>()) {
        if (edit->objectName() != "fileName") QCOMPARE(edit->text(), QString());
      }
    }
    QCOMPARE(prompts_, 0);  // neither holds PKCS#12 data
  }

  void hostileNamesAndTimesAreShownSafely() {
    const std::string file = dir_.file("hostile.pem");
    QVERIFY(writeHostileCertificate(file, false));
    ui::CertificateViewer v(nullptr, QString::fromStdString(file));
    QVERIFY(v.loaded());
    QCOMPARE(field(v, "subjectCommonName"), QString(255, 'n'));
    QCOMPARE(field(v, "subjectOrganisation"), QString("bad \u00ff\u00fe bytes"));
    QCOMPARE(field(v, "subjectLocality"), QString("two^Jlines"));
    QCOMPARE(field(v, "validFrom"), QString("Bad time value"));
    QCOMPARE(field(v, "validTo"), QString("Jan  2 03:04:05 2051 GMT"));
    QCOMPARE(field(v, "pkAlgorithm"), QString("id-ecPublicKey"));
    QCOMPARE(field(v, "pkLength"), QString());
    QCOMPARE(field(v, "serial"), QString("1234"));
    QCOMPARE(field(v, "numExtensions"), QString("0"));
    QCOMPARE(field(v, "extension1"), QString());

    const std::string broken = dir_.file("broken-utf8.pem");
    QVERIFY(writeHostileCertificate(broken, true));
    ui::CertificateViewer unreadable(nullptr, QString::fromStdString(broken));
    QVERIFY(!unreadable.loaded());
    QCOMPARE(field(unreadable, "subjectCommonName"), QString());
  }
};

QTEST_MAIN(CertificateViewerTest)
#include "certificate_viewer_test.moc"
