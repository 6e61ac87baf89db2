#include "web/web_access.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "runtime/commands.h"
#include "runtime/external.h"
#include "runtime/memory_file.h"
#include "text/codepage.h"
#include "web/exchange_record.h"
#include "web/fetch_worker.h"
#include "web/http_exchange.h"
#include "web/url.h"

namespace tobrine {
namespace {

constexpr std::string_view kTimeoutNotice =
    "超时返回，指定网站不能访问，或者你的网络出现问题，你可以把参数中的＂超时返回＂的值设置长一些"
    "。";

// One fetch's record file and body, shared by the waiting thread and the
// worker. Whoever lets go last frees them, so a worker given up on at the
// time-out keeps its record until it has finished with it.
struct FetchJob {
  int32_t file = 0;
  ExchangeStop stop;
  std::atomic<ExchangeEnd> end{ExchangeEnd::kStopped};
  ByteBlock body;        // handed over by the worker; looked at only once it has ended
  FetchOutcome outcome;  // the worker's; read after it has ended
  std::shared_ptr<const TextValue> expected;  // what the body is checked against
  bool same = false;                          // the worker's; read after it has ended
  ~FetchJob() { CloseFile(file); }
};

ExchangeRequest RequestFor(const TextValue& address, const FetchOptions& options) {
  ExchangeRequest r;
  r.address = address.Copy();
  r.verb = TextValue::Literal(options.method == HttpMethod::kPost ? "POST" : "GET");
  r.proxy = TextValue::FromBytes(options.proxy);
  r.extraHeaders = TextValue::FromBytes(options.extraHeaders);
  r.postBody = ByteBlock::FromBytes(options.postBody);
  r.cookies = TextValue::FromBytes(options.cookies);
  r.followRedirects = options.followRedirects;
  return r;
}

// Starts the worker on the job; no handle when it cannot start.
ThreadHandle StartWorker(const std::shared_ptr<FetchJob>& job) {
  return StartFetchWorker([job] {
    const ExpectedBody expected{job->expected ? job->expected->view() : std::string_view(),
                                &job->same};
    job->end.store(HttpExchange(job->file, &job->stop, &job->outcome, &job->body,
                                job->expected ? &expected : nullptr));
  });
}

ByteBlock ConvertBody(BodyConversion conversion, const ByteBlock& raw) {
  // The converted text ends at the body's first NUL byte.
  const std::string_view text = TextUpToNul(raw.bytes());
  TextValue converted =
      conversion == BodyConversion::kUtf8 ? text::Utf8ToGbk(text) : text::Big5ToSimplifiedGbk(text);
  return ToByteBlock(Value::Text(converted));
}

}  // namespace

// One fetch from its start to its result.
class StartedFetch::Fetch {
 public:
  // Starts fetching `address`, which gets "http://" in front when it has no
  // scheme. An empty address, a record that cannot be stored or a worker that
  // cannot start give the empty result (and kOther) at once.
  Fetch(TextValue& address, const FetchOptions& options) {
    if (IsBlank(address)) return;
    if (!NamesScheme(address)) address = TextValue::FromBytes(WithScheme(address));
    // Parsed as a browser parses it, before anything is sent; what goes out is
    // ASCII and holds nothing that could end the request line.
    const ParsedAddress parsed = ParseFetchAddress(address);
    if (!parsed) {
      fault_ = parsed.fault;
      return;
    }
    auto job = std::make_shared<FetchJob>();
    job->file = OpenMemoryFile();
    job->expected = options.expectedText;
    const TextValue fetched = TextValue::FromBytes(parsed.address.RequestAddress());
    if (job->file == 0 || !WriteExchangeRequest(job->file, RequestFor(fetched, options))) return;
    thread_ = StartWorker(job);
    if (!thread_) return;  // no worker: nothing will ever arrive
    job_ = std::move(job);
    // A negative time-out has already passed.
    timeoutMs_ = std::max<int64_t>(0, static_cast<int64_t>(options.timeoutSeconds) * 1000);
    start_ = TickCount();
    state_ = State::kRunning;
  }
  Fetch(const Fetch&) = delete;
  Fetch& operator=(const Fetch&) = delete;
  // One given up on before its end is told to stop, as at a time-out.
  ~Fetch() {
    if (job_) job_->stop.Stop();
  }

  bool running() const { return state_ == State::kRunning; }
  void* thread() const { return thread_.get(); }
  // Milliseconds until the time-out, as of `now` (a tick count).
  int64_t Left(uint32_t now) const { return std::max<int64_t>(0, timeoutMs_ - (now - start_)); }

  // What one wake-up of the wait says about this fetch. A worker that has
  // ended answered in time, however late this thread looks (it may have been
  // busy reading an earlier result): only one still working at `now`, past the
  // time-out, has timed out. The wait names one ended worker at most, so each
  // is asked whether it has ended.
  void Observe(uint32_t now, bool namedByTheWait) {
    if (namedByTheWait || WorkerEnded())
      state_ = State::kEnded;
    else if (Left(now) == 0)
      state_ = State::kTimedOut;
  }

  // The result of a fetch that is no longer running. A timed-out worker is not
  // cut off (that could leave a lock it holds taken for good): it is told to
  // stop, which closes its request handle so that a call blocked in it returns;
  // it finishes on its own and its results are never looked at. `outcome` tells
  // how it went.
  ByteBlock Finish(const FetchOptions& options, FetchOutcome& outcome) {
    outcome = {FetchFailure::kOther, 0};
    if (fault_ != AddressFault::kNone) outcome = {FetchFailure::kBadAddress, 0, fault_};
    const State state = std::exchange(state_, State::kFinished);
    std::shared_ptr<FetchJob> job = std::move(job_);
    thread_ = ThreadHandle();
    if (state == State::kTimedOut) {
      job->stop.Stop();
      outcome = {FetchFailure::kTimeout, 0};
      return ByteBlock::FromBytes(kTimeoutNotice);
    }
    if (state != State::kEnded) return {};
    // Only a reply the exchange wrote is read: never the request in its place. A
    // body beyond kMaxBodyBytes (ExchangeEnd::kTooLarge) fails like any other.
    if (job->end.load() != ExchangeEnd::kAnswered) {
      outcome = job->outcome;
      return {};
    }
    std::optional<ExchangeReply> reply = ReadExchangeReply(job->file);
    if (!reply) return {};
    outcome = job->outcome;
    if (options.receivedHeaders) *options.receivedHeaders = std::move(reply->rawHeaders);
    if (options.receivedCookies) *options.receivedCookies = std::move(reply->receivedCookies);
    if (options.sameAsExpected) *options.sameAsExpected = job->same;
    if (options.conversion != BodyConversion::kNone)
      return ConvertBody(options.conversion, job->body);
    return std::move(job->body);
  }

 private:
  bool WorkerEnded() {
    return CallExternal<kExtMsgWaitForMultipleObjects>(1u, thread_.address(), 0, winapi::Dword{0},
                                                       0u) == winapi::kWaitObject0;
  }

  enum class State { kNotStarted, kRunning, kEnded, kTimedOut, kFinished };
  State state_ = State::kNotStarted;
  AddressFault fault_ = AddressFault::kNone;  // why the address was not fetched
  std::shared_ptr<FetchJob> job_;
  ThreadHandle thread_;
  uint32_t start_ = 0;
  int64_t timeoutMs_ = 0;
};

namespace {

using Fetch = StartedFetch::Fetch;

// Sleeps until one of the running fetches has ended or reached its time-out,
// dispatching the thread's messages after every wake-up. Each wait lasts at
// most until the nearest time-out, so that a stream of messages cannot stretch
// a fetch beyond its own.
void WaitForAny(const std::vector<Fetch*>& running) {
  std::vector<void*> handles;
  bool changed = false;
  while (!changed) {
    handles.clear();
    // Never the "infinite" value, however long the time-out.
    int64_t wait = 0xFFFFFFFE;
    const uint32_t now = TickCount();
    for (const Fetch* f : running) {
      handles.push_back(f->thread());
      wait = std::min(wait, f->Left(now));
    }
    const winapi::Dword r = CallExternal<kExtMsgWaitForMultipleObjects>(
        static_cast<winapi::Dword>(handles.size()), handles.data(), 0,
        static_cast<winapi::Dword>(wait), winapi::kQsAllEvents);
    const uint32_t woken = TickCount();
    for (std::size_t i = 0; i < running.size(); ++i) {
      running[i]->Observe(woken, r == winapi::kWaitObject0 + i);
      changed = changed || !running[i]->running();
    }
    ProcessEvents();
  }
}

}  // namespace

std::string_view TimeoutNotice() {
  return kTimeoutNotice;
}

ByteBlock WebAccess(TextValue& address, const FetchOptions& options) {
  Fetch fetch(address, options);
  while (fetch.running()) WaitForAny({&fetch});
  FetchOutcome ignored;
  return fetch.Finish(options, options.outcome ? *options.outcome : ignored);
}

StartedFetch::StartedFetch(TextValue& address, const FetchOptions& options)
    : fetch_(std::make_unique<Fetch>(address, options)), options_(options) {}

StartedFetch::~StartedFetch() = default;

ByteBlock StartedFetch::Result() {
  while (fetch_->running()) WaitForAny({fetch_.get()});
  FetchOutcome ignored;
  return fetch_->Finish(options_, options_.outcome ? *options_.outcome : ignored);
}

void WebAccessEach(int32_t count, const std::function<TextValue(int32_t)>& addressOf,
                   const std::function<void(int32_t, FetchResult&)>& done,
                   const FetchOptions& options) {
  FetchOptions each = options;
  each.receivedHeaders = nullptr;
  each.receivedCookies = nullptr;
  each.outcome = nullptr;
  each.expectedText = nullptr;
  each.sameAsExpected = nullptr;
  // The fetches started and not yet handed to `done`, in order; a fetch is
  // finished as soon as it ends, and its result waits here for the earlier ones.
  struct Started {
    int32_t k;
    FetchResult result;
    std::unique_ptr<Fetch> fetch;  // none once finished
  };
  std::deque<Started> window;
  std::vector<Fetch*> running;
  // Past a slow fetch, others go on starting while what waits behind it stays
  // small: up to kFetchesInFlight entries always, up to kWindowEntries while
  // their addresses and bodies hold fewer than kWindowBytes.
  auto roomForOneMore = [&window] {
    if (window.size() < static_cast<std::size_t>(kFetchesInFlight)) return true;
    if (window.size() >= kWindowEntries) return false;
    std::size_t held = 0;
    for (const Started& s : window)
      held += static_cast<std::size_t>(s.result.address.size() + s.result.body.size());
    return held < kWindowBytes;
  };
  int32_t next = 0;
  while (next < count || !window.empty()) {
    running.clear();
    for (Started& s : window) {
      if (s.fetch && !s.fetch->running()) {
        s.result.body = s.fetch->Finish(each, s.result.outcome);
        s.fetch.reset();
      }
      if (s.fetch) running.push_back(s.fetch.get());
    }
    if (!window.empty() && !window.front().fetch) {
      Started first = std::move(window.front());
      window.pop_front();
      done(first.k, first.result);
      continue;
    }
    if (next < count && running.size() < static_cast<std::size_t>(kFetchesInFlight) &&
        roomForOneMore()) {
      Started s{next, {addressOf(next), {}, {}}, nullptr};
      s.fetch = std::make_unique<Fetch>(s.result.address, each);
      window.push_back(std::move(s));
      ++next;
      continue;
    }
    WaitForAny(running);
  }
}

}  // namespace tobrine
