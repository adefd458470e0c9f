// "Select Client Certificate": asked on behalf of a connection thread when a server wants a client
// certificate and none is cached. It shows the server's subject, lists the "*.pem" and "*.p12"
// files of the program's folder and of the user's certificate folder (a file of the second whose
// name the first has too is listed by its path), stores every change of the choice at once as
// "ssl.client_cert" (current user, the file's full path), and on OK reads the chosen file (PEM with
// the password, else PKCS#12). A wrong password is told in a message box and followed by a wait
// that doubles with every wrong password since the last success (1, 2, 4 ... seconds, never longer
// than kLongestWaitMillis); the window thread keeps running during the wait, and Cancel ends it.
//
// Window thread only; the relay's question lock keeps it to one at a time.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "relay/observer.h"

namespace Ui {
class ClientCertificateDialog;
}

namespace ui {

// The names of the "*.pem" files of the folder, then those of its "*.p12" files.
std::vector<std::string> clientCertificateFiles(const std::string& folder);

class ClientCertificateDialog final : public QDialog {
  Q_OBJECT

 public:
  // `folders`: the program's folder, then the user's certificate folder; `serverSubject` the
  // server's subject in one-line form.
  ClientCertificateDialog(QWidget* parent, const std::vector<std::string>& folders,
                          const std::string& serverSubject);
  ~ClientCertificateDialog() override;

  // The certificate and key the OK that ended the dialog loaded.
  relay::ClientCredentials takeCredentials() { return std::move(credentials_); }

  QString serverName() const;
  QStringList entries() const;
  QString chosen() const;  // empty when none is chosen
  // As a person choosing in the list: the choice is stored at once.
  void choose(const QString& name);
  void setPassword(const QString& text);

  static constexpr int kLongestWaitMillis = 30000;
  // The wait after a wrong password, given how many came before it since the last success.
  static int waitMillis(int wrongBefore);
  // Wrong passwords since the last success (for the whole process).
  static int wrongPasswords();
  // Tests: the wait is handed to `pause` instead of passing on the clock; null restores it.
  using Pause = std::function<void(int milliseconds)>;
  static void setPause(Pause pause);

 private:
  void fillList(const std::string& storedPath);
  void storeChoice(int index);
  void load();
  void wrongPassword();
  void pauseFor(int milliseconds);

  std::unique_ptr<Ui::ClientCertificateDialog> form_;
  std::map<QString, std::string> paths_;  // each entry's file
  relay::ClientCredentials credentials_;
};

// Runs the dialog (through runModal); true with the certificate and key in *out after OK.
bool askClientCertificate(QWidget* parent, const std::vector<std::string>& folders,
                          const std::string& serverSubject, relay::ClientCredentials* out);

}  // namespace ui
