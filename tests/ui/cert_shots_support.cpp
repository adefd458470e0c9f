#include "cert_shots_support.h"

#include <openssl/bio.h>
#include <openssl/err.h>

#include <QComboBox>
#include <QLineEdit>
#include <QSignalBlocker>

#include "cert_test_support.h"
#include "log/log.h"
#include "ui/buffer_view.h"
#include "ui/certificate_viewer.h"
#include "ui/client_certificate_dialog.h"
#include "ui/message_dialog.h"
#include "ui/passphrase_dialog.h"

namespace {

constexpr char kServerSubject[] = "/C=DE/O=Tandry Test/OU=Relay Lab/CN=mail.example.org";

// The library's own text for a file that is not there, as the selection shows it.
QString missingFileText(const std::string& path) {
  ERR_clear_error();
  BIO* bio = BIO_new_file(path.c_str(), "rb");
  BIO_free(bio);
  char text[512];
  const QString shown = QString::fromUtf8(openssl_error_text(ERR_peek_error(), text));
  ERR_clear_error();
  return shown;
}

// The selection as a person sees it with a file chosen; the choice is shown, not stored.
QWidget* selection(QWidget* parent, const std::string& folder) {
  auto* dialog = new ui::ClientCertificateDialog(parent, {folder}, kServerSubject);
  auto* list = dialog->findChild<QComboBox*>("certificate");
  const QSignalBlocker quiet(list);
  list->setCurrentIndex(list->findText("client.p12"));
  dialog->setPassword("p12 secret");
  return dialog;
}

// Every byte of the literal, the zeros in it too.
template <size_t N>
std::string bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

void addExampleExchange(ui::BufferView* view) {
  view->addChunk(
      bytes("GET /index.html HTTP/1.1\r\nHost: intranet.example.org\r\nUser-Agent: curl/7.88.1\r\n"
            "Accept: */*\r\n\r\n"));
  view->addChunk(
      bytes("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=UTF-8\r\nContent-Length: 57\r\n"
            "Connection: close\r\n\r\n<html><body><h1>It works \xe2\x80\x94 "
            "caf\xc3\xa9</h1></body></html>\n\x00\x01\x7f\xff"));
}

std::vector<std::pair<std::string, QWidget*>> shots(QWidget* parent, ui::RelayBridge* chunks) {
  std::vector<std::pair<std::string, QWidget*>> out;
  cert_test::TempDir dir;
  if (!cert_test::makeCertificateFiles(dir.path())) return out;
  auto* prompt = new ui::PassphraseDialog(parent, "");
  prompt->setPassphrase("secret phrase");
  out.emplace_back("passphrase.png", prompt);
  out.emplace_back("client-certificate.png", selection(parent, dir.file("certs")));
  out.emplace_back("load-failure.png",
                   new ui::MessageDialog(parent, missingFileText(dir.file("certs/gone.pem")),
                                         ui::MessageDialog::Kind::kLoadFailure));
  const char* pages[] = {"viewer-x509.png", "viewer-issuer.png", "viewer-cert-info.png",
                         "viewer-extensions.png"};
  for (int i = 0; i < 4; ++i) {
    auto* viewer =
        new ui::CertificateViewer(parent, QString::fromStdString(dir.file("viewer.pem")));
    viewer->showPage(i);
    out.emplace_back(pages[i], viewer);
  }
  auto* view = new ui::BufferView(parent);
  if (chunks != nullptr) {
    view->takeChunksFrom(chunks);
  } else {
    addExampleExchange(view);
  }
  out.emplace_back("buffer-view.png", view);
  return out;
}

}  // namespace

std::vector<std::pair<std::string, QWidget*>> makeCertificateShots(QWidget* parent) {
  return shots(parent, nullptr);
}

std::vector<std::pair<std::string, QWidget*>> makeCertificateShots(QWidget* parent,
                                                                   ui::RelayBridge* chunks) {
  return shots(parent, chunks);
}
