// The desktop program's side of the relay's observer: what the relay's threads report reaches the
// window thread as queued signals, and no relay thread ever waits for the window thread, except
// for the two questions a person must answer.
//
// Log lines wait in a queue of their own (bounded: a flood cannot outgrow the log window's own
// limit) and are handed over in batches, one queued call per batch, so the window stays
// responsive under thousands of lines a second. The questions run on the window thread through a
// blocking call; their dialogs are set by the windows that own them.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "relay/observer.h"
#include "ui/log_model.h"

namespace ui {

class RelayBridge final : public QObject, public relay::RelayObserver {
  Q_OBJECT

 public:
  explicit RelayBridge(QObject* parent = nullptr);

  // From the relay's threads.
  void logLine(const logging::LogLine& line) override;
  void statusTick(const relay::StatusFigures& figures, const std::string& text) override;
  void relayedChunk(const uint8_t* data, size_t size, bool fromClient) override;
  void changeDone(const relay::ChangeResult& result) override;
  std::string askPassphrase(const std::string& prompt) override;
  bool askClientCertificate(const std::string& serverSubject,
                            relay::ClientCredentials* out) override;

  // The window thread: the lines logged since the last call, oldest first.
  std::vector<PendingLine> takeLines();
  // The window thread: the chunks relayed since the last call (at most the last kKeptChunks).
  struct Chunk {
    std::string bytes;
    bool fromClient = false;
  };
  static constexpr size_t kKeptChunks = 100;
  std::vector<Chunk> takeChunks();

  // The windows that answer the questions and show the chunks (all on the window thread).
  using PassphraseAsker = std::function<std::string(const std::string& prompt)>;
  using CertificateAsker =
      std::function<bool(const std::string& subject, relay::ClientCredentials* out)>;
  void setPassphraseAsker(PassphraseAsker asker) { passphraseAsker_ = std::move(asker); }
  void setCertificateAsker(CertificateAsker asker) { certificateAsker_ = std::move(asker); }
  // From now on questions are answered with nothing at once: the program is ending.
  void refuseQuestions() { refusing_ = true; }

 signals:
  void linesWaiting();
  void statusArrived(const QString& text, quint64 bytesUp, quint64 bytesDown);
  void chunksWaiting();
  // On the window thread: a change of the relay's configuration has ended.
  void changeFinished(const relay::ChangeResult& result);

 private:
  template <typename Answer>
  Answer onWindowThread(std::function<Answer()> ask, Answer nothing);

  std::mutex pendingMutex_;  // guards pending_ and chunks_
  std::deque<PendingLine> pending_;
  std::deque<Chunk> chunks_;
  PassphraseAsker passphraseAsker_;
  CertificateAsker certificateAsker_;
  std::atomic<bool> refusing_{false};
};

}  // namespace ui
