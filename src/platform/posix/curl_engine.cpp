#include "platform/posix/curl_engine.h"

#include <pthread.h>
#include <time.h>

#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tobrine::posix {
namespace {

// Handles kept for the next transfers (setting one up is a good part of a
// short request's cost); more than this at once are freed.
constexpr std::size_t kSpareHandles = 16;
// Connections kept open for reuse, idle ones first to go.
constexpr long kMaxConnections = 32;
// How long the engine sleeps at most when nothing is going on.
constexpr int kIdleWaitMs = 1000;
// A pair of handles of a thread's own is kept this long after its last use,
// as a thread is (its multi handle holds descriptors); the engine lets it go
// at its next round after that, within a second.
constexpr long kOwnIdleMs = 200;

long long NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// The failures a server that offers HTTP/2 and then breaks it gives before any
// answer: such a transfer is tried once more over HTTP/1.1.
bool BrokeHttp2(CURLcode result) {
  switch (result) {
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return true;
    default:
      return false;
  }
}

class Engine {
 public:
  // Never destroyed: workers may still call in while the process exits.
  static Engine& Instance() {
    static auto* engine = new Engine();
    return *engine;
  }

  bool Post(bool start, bool resume, std::shared_ptr<CurlTransfer> transfer) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_ || (!running_ && (!start || !Begin()))) return false;
    commands_.push_back({start, resume, std::move(transfer)});
    // Once per round of the engine, and under the lock: the multi handle is
    // only released after `ended_` is set.
    if (!woken_) {
      woken_ = true;
      curl_multi_wakeup(multi_);
    }
    return true;
  }

  void End() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (ended_) return;
      ended_ = true;
      for (const Spare& spare : ownSpare_) Free(spare.pair);
      ownSpare_.clear();
      if (!running_) return;
      curl_multi_wakeup(multi_);
    }
    pthread_join(thread_, nullptr);
  }

  OwnHandles TakeOwn() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!ownSpare_.empty()) {
        OwnHandles pair = ownSpare_.back().pair;
        ownSpare_.pop_back();
        return pair;
      }
    }
    OwnHandles pair{curl_easy_init(), curl_multi_init()};
    if (!pair.easy || !pair.multi) Free(std::exchange(pair, {}));
    return pair;
  }

  void GiveOwn(OwnHandles pair) {
    curl_easy_reset(pair.easy);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!ended_ && ownSpare_.size() < kSpareHandles) {
        ownSpare_.push_back({pair, NowMs()});
        return;
      }
    }
    Free(pair);
  }

 private:
  struct Command {
    bool start = false;
    bool resume = false;  // neither: cancel
    std::shared_ptr<CurlTransfer> transfer;
  };
  struct Active {
    std::shared_ptr<CurlTransfer> transfer;
    bool retried = false;  // over HTTP/1.1, after HTTP/2 broke
  };
  enum class Protocol { kUnknown, kHttp1, kHttp2, kBrokenHttp2 };

  // Called with the lock held, once.
  bool Begin() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    multi_ = curl_multi_init();
    share_ = curl_share_init();
    if (multi_ && share_) {
      curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, kMaxConnections);
      // Only the engine's thread uses the share: it needs no lock of its own.
      curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
      running_ = pthread_create(&thread_, nullptr, &Main, this) == 0;
    }
    if (!running_) {
      curl_multi_cleanup(multi_);  // both take a null handle
      curl_share_cleanup(share_);
      multi_ = nullptr;
      share_ = nullptr;
      return false;
    }
    // After curl's own set-up registered the TLS library's exit routine, so
    // that this runs first and nothing of the TLS library outlives it.
    std::atexit([] { Instance().End(); });
    return true;
  }

  static void* Main(void* self) {
    static_cast<Engine*>(self)->Run();
    return nullptr;
  }

  // While the engine is awake (`woken_` set), commands handed over wait for
  // its next round without a wake-up; it sleeps only with none waiting.
  void Run() {
    std::vector<Command> todo;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ended_) break;
        todo.swap(commands_);
      }
      for (Command& c : todo) Do(c);
      todo.clear();
      int running = 0;
      curl_multi_perform(multi_, &running);
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg == CURLMSG_DONE) Finish(message->easy_handle, message->data.result);
      }
      for (auto& [easy, a] : active_) a.transfer->Wake();
      bool keeping = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!commands_.empty() || ended_) continue;
        woken_ = false;
        keeping = LetIdleOwnHandlesGo();
      }
      curl_multi_poll(multi_, nullptr, 0, keeping ? kOwnIdleMs : kIdleWaitMs, nullptr);
      std::lock_guard<std::mutex> lock(mutex_);
      woken_ = true;
    }
    Release();
  }

  void Do(Command& c) {
    if (c.start) {
      CURL* easy = Take();
      if (!easy) {
        c.transfer->Ended(CURLE_OUT_OF_MEMORY, 0);
        return;
      }
      Add(easy, {std::move(c.transfer)});
      return;
    }
    auto it = handles_.find(c.transfer.get());
    if (it == handles_.end()) return;  // already ended
    CURL* easy = it->second;
    if (c.resume) {
      curl_easy_pause(easy, CURLPAUSE_CONT);
      return;
    }
    curl_multi_remove_handle(multi_, easy);
    handles_.erase(it);
    active_.erase(easy);
    Recycle(easy);
  }

  void Add(CURL* easy, Active a) {
    const Protocol known = protocols_[a.transfer->Origin()];
    a.transfer->Configure(easy, !a.retried && known != Protocol::kBrokenHttp2,
                          known == Protocol::kHttp2);
    curl_easy_setopt(easy, CURLOPT_SHARE, share_);
    handles_[a.transfer.get()] = easy;
    active_[easy] = std::move(a);
    curl_multi_add_handle(multi_, easy);
  }

  void Finish(CURL* easy, CURLcode result) {
    auto it = active_.find(easy);
    if (it == active_.end()) return;
    Active a = std::move(it->second);
    active_.erase(it);
    handles_.erase(a.transfer.get());
    curl_multi_remove_handle(multi_, easy);
    Protocol& known = protocols_[a.transfer->Origin()];
    if (result == CURLE_OK) {
      // A server that broke HTTP/2 once is not offered it again.
      if (a.retried || known == Protocol::kBrokenHttp2)
        known = Protocol::kBrokenHttp2;
      else
        known = a.transfer->OnHttp2() ? Protocol::kHttp2 : Protocol::kHttp1;
    } else if (!a.retried && a.transfer->OnHttp2() && !a.transfer->Answered() &&
               BrokeHttp2(result)) {
      a.retried = true;
      curl_easy_reset(easy);
      Add(easy, std::move(a));
      return;
    }
    long verifyResult = 0;
    if (result != CURLE_OK) curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
    Recycle(easy);
    a.transfer->Ended(result, verifyResult);
  }

  // Called with the lock held: frees the pairs unused for kOwnIdleMs; whether
  // any is still kept.
  bool LetIdleOwnHandlesGo() {
    const long long now = NowMs();
    std::erase_if(ownSpare_, [&](const Spare& spare) {
      if (now - spare.given < kOwnIdleMs) return false;
      Free(spare.pair);
      return true;
    });
    return !ownSpare_.empty();
  }

  static void Free(OwnHandles pair) {
    if (pair.easy) curl_easy_cleanup(pair.easy);
    if (pair.multi) curl_multi_cleanup(pair.multi);
  }

  CURL* Take() {
    if (spare_.empty()) return curl_easy_init();
    CURL* easy = spare_.back();
    spare_.pop_back();
    return easy;
  }

  void Recycle(CURL* easy) {
    if (spare_.size() < kSpareHandles) {
      curl_easy_reset(easy);
      spare_.push_back(easy);
    } else {
      curl_easy_cleanup(easy);
    }
  }

  // The engine has ended: every transfer still going or waiting ends as
  // aborted, and everything curl holds is released, on this thread.
  void Release() {
    std::vector<Command> waiting;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      waiting.swap(commands_);
    }
    for (Command& c : waiting)
      if (c.start) c.transfer->Ended(CURLE_ABORTED_BY_CALLBACK, 0);
    for (auto& [easy, a] : active_) {
      curl_multi_remove_handle(multi_, easy);
      curl_easy_cleanup(easy);
      a.transfer->Ended(CURLE_ABORTED_BY_CALLBACK, 0);
    }
    active_.clear();
    handles_.clear();
    for (CURL* easy : spare_) curl_easy_cleanup(easy);
    spare_.clear();
    curl_multi_cleanup(multi_);
    curl_share_cleanup(share_);
  }

  std::mutex mutex_;
  std::vector<Command> commands_;  // handed over, not yet taken
  struct Spare {
    OwnHandles pair;
    long long given;  // NowMs()
  };
  std::vector<Spare> ownSpare_;  // the newest last
  bool running_ = false;
  bool ended_ = false;
  bool woken_ = true;  // the engine is awake, or a wake-up is on its way to it
  pthread_t thread_{};
  CURLM* multi_ = nullptr;
  CURLSH* share_ = nullptr;

  // The engine thread's own.
  std::unordered_map<CURL*, Active> active_;
  std::unordered_map<const CurlTransfer*, CURL*> handles_;
  std::vector<CURL*> spare_;
  std::unordered_map<std::string, Protocol> protocols_;  // by origin
};

}  // namespace

bool StartTransfer(std::shared_ptr<CurlTransfer> transfer) {
  return Engine::Instance().Post(true, false, std::move(transfer));
}

void CancelTransfer(std::shared_ptr<CurlTransfer> transfer) {
  Engine::Instance().Post(false, false, std::move(transfer));
}

void ResumeTransfer(std::shared_ptr<CurlTransfer> transfer) {
  Engine::Instance().Post(false, true, std::move(transfer));
}

void EndTransfers() {
  Engine::Instance().End();
}

OwnHandles TakeOwnHandles() {
  return Engine::Instance().TakeOwn();
}

void GiveOwnHandles(OwnHandles handles) {
  Engine::Instance().GiveOwn(handles);
}

}  // namespace tobrine::posix
