#include "ui/single_instance.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>

namespace ui {
namespace {

constexpr char kShow[] = "show\n";
constexpr int kWaitMs = 2000;

QString socketPath(platform::Hive root) {
  QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (folder.isEmpty() || !QDir(folder).exists()) folder = QDir::tempPath();
  const QByteArray store = QByteArray::fromStdString(platform::hiveFilePath(root));
  const QString tag = QString::fromLatin1(
      QCryptographicHash::hash(store, QCryptographicHash::Sha256).toHex().left(16));
  return folder + "/brisklane-" + QString::number(::getuid()) + "-" + tag;
}

}  // namespace

SingleInstance::SingleInstance(platform::Hive root, QObject* parent)
    : QObject(parent), path_(socketPath(root)) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::askTheFirst() {
  QLocalSocket socket;
  socket.connectToServer(path_);
  if (!socket.waitForConnected(kWaitMs)) return false;
  socket.write(kShow);
  socket.waitForBytesWritten(kWaitMs);
  socket.disconnectFromServer();
  return true;
}

bool SingleInstance::claim() {
  if (askTheFirst()) return false;
  // Nobody answers: a socket file left by a program that ended without removing it.
  QLocalServer::removeServer(path_);
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(path_)) {
    // Another program took the socket between our look and now: it is the first.
    server_.reset();
    return !askTheFirst();
  }
  connect(server_.get(), &QLocalServer::newConnection, this, &SingleInstance::takeRequests);
  return true;
}

void SingleInstance::takeRequests() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    auto take = [this, socket] {
      if (socket->readAll().contains("show")) emit showRequested();
    };
    connect(socket, &QLocalSocket::readyRead, this, take);
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (socket->bytesAvailable() > 0) take();
  }
}

}  // namespace ui
