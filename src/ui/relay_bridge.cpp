#include "ui/relay_bridge.h"

#include <QMetaObject>
#include <QThread>
#include <iterator>

namespace ui {

RelayBridge::RelayBridge(QObject* parent) : QObject(parent) {}

void RelayBridge::logLine(const logging::LogLine& line) {
  bool first = false;
  {
    std::lock_guard<std::mutex> hold(pendingMutex_);
    first = pending_.empty();
    // Lines the window would trim at once need not wait for it: the queue keeps what the list
    // would keep (and no more than the list's own bound).
    const size_t keep = line.maxLines != 0 && line.cls != 0 ? static_cast<size_t>(line.maxLines) + 1
                                                            : LogModel::kUnboundedLimit;
    if (pending_.size() >= keep) {
      pending_.erase(pending_.begin(),
                     pending_.begin() + static_cast<std::ptrdiff_t>(pending_.size() - keep + 1));
    }
    pending_.push_back(PendingLine{std::string(line.text), line.maxLines, line.cls != 0});
  }
  if (first) emit linesWaiting();
}

std::vector<PendingLine> RelayBridge::takeLines() {
  std::deque<PendingLine> taken;
  {
    std::lock_guard<std::mutex> hold(pendingMutex_);
    taken.swap(pending_);
  }
  return {std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end())};
}

std::vector<RelayBridge::Chunk> RelayBridge::takeChunks() {
  std::deque<Chunk> taken;
  {
    std::lock_guard<std::mutex> hold(pendingMutex_);
    taken.swap(chunks_);
  }
  return {std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end())};
}

void RelayBridge::statusTick(const relay::StatusFigures& figures, const std::string& text) {
  emit statusArrived(QString::fromStdString(text), figures.bytesClientToDest,
                     figures.bytesDestToClient);
}

void RelayBridge::relayedChunk(const uint8_t* data, size_t size, bool fromClient) {
  bool first = false;
  {
    std::lock_guard<std::mutex> hold(pendingMutex_);
    first = chunks_.empty();
    if (chunks_.size() >= kKeptChunks) chunks_.pop_front();  // the view keeps the last ones only
    chunks_.push_back(Chunk{std::string(reinterpret_cast<const char*>(data), size), fromClient});
  }
  if (first) emit chunksWaiting();
}

void RelayBridge::changeDone(const relay::ChangeResult& result) {
  QMetaObject::invokeMethod(
      this, [this, result] { emit changeFinished(result); }, Qt::QueuedConnection);
}

template <typename Answer>
Answer RelayBridge::onWindowThread(std::function<Answer()> ask, Answer nothing) {
  if (refusing_) return nothing;
  if (QThread::currentThread() == thread()) return ask();
  Answer answer = nothing;
  QMetaObject::invokeMethod(
      this, [&] { answer = refusing_ ? nothing : ask(); }, Qt::BlockingQueuedConnection);
  return answer;
}

std::string RelayBridge::askPassphrase(const std::string& prompt) {
  return onWindowThread<std::string>(
      [this, &prompt] { return passphraseAsker_ ? passphraseAsker_(prompt) : std::string(); },
      std::string());
}

bool RelayBridge::askClientCertificate(const std::string& serverSubject,
                                       relay::ClientCredentials* out) {
  return onWindowThread<bool>(
      [this, &serverSubject, out] {
        return certificateAsker_ ? certificateAsker_(serverSubject, out) : false;
      },
      false);
}

}  // namespace ui
