// One desktop program per user and store: the first listens on a local socket in the user's
// runtime folder; a later one (the same store) asks it to show and raise its main window and then
// ends. A socket left by a program that crashed is taken over. Window thread.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <memory>

#include "platform/registry.h"

namespace ui {

class SingleInstance final : public QObject {
  Q_OBJECT

 public:
  explicit SingleInstance(platform::Hive root, QObject* parent = nullptr);
  ~SingleInstance() override;

  // True when this program is the first of its store (it listens from now on); false when
  // another runs, which has been asked to show itself.
  bool claim();
  // The socket's path: the runtime folder, and a name made from the store's file.
  const QString& path() const { return path_; }

 signals:
  // Another program of the same store was started.
  void showRequested();

 private:
  bool askTheFirst();
  void takeRequests();

  QString path_;
  std::unique_ptr<QLocalServer> server_;
};

}  // namespace ui
