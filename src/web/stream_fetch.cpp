#include "web/stream_fetch.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "runtime/commands.h"
#include "runtime/external.h"
#include "web/exchange_record.h"
#include "web/fetch_worker.h"
#include "web/http_exchange.h"
#include "web/url.h"

namespace tobrine {
namespace {

// How long one wait lasts: the progress is told this often.
constexpr winapi::Dword kWaitSliceMs = 200;

// One streamed fetch, shared by the waiting thread and the worker; a worker
// given up on keeps it (and the caller's stream) until it has ended.
struct StreamJob : BodyStream {
  ExchangeRequest request;
  std::shared_ptr<BodyStream> stream;
  uint64_t byteCap = 0;
  uint64_t received = 0;  // the worker's own
  bool tooLarge = false;
  ExchangeStop stop;  // closes the request handle when the waiting side gives up
  std::atomic<uint32_t> lastActivity{0};  // tick of the last bytes that arrived
  FetchOutcome outcome;                   // the worker's; read after it has ended

  // The exchange hands its body here: counted against the cap, passed on, and
  // never after the waiting thread has given up.
  bool Begin(std::string_view rawHeaders) override {
    lastActivity.store(TickCount());
    return !stop.stopped() && stream->Begin(rawHeaders);
  }
  bool Chunk(std::string_view bytes) override {
    lastActivity.store(TickCount());
    if (stop.stopped()) return false;
    if (bytes.size() > byteCap - received) {
      tooLarge = true;
      return false;
    }
    received += bytes.size();
    return stream->Chunk(bytes);
  }
};

// The worker's work: the exchange, its outcome kept in the job.
void RunStream(StreamJob& j) {
  FetchOutcome outcome = StreamExchange(j.request, j, &j.stop);
  if (j.tooLarge) outcome.failure = FetchFailure::kTooLarge;
  j.outcome = outcome;
}

}  // namespace

FetchOutcome StreamFetch(TextValue address, const StreamFetchOptions& options,
                         std::shared_ptr<BodyStream> stream) {
  if (TrimSpaces(address).empty()) return {FetchFailure::kOther, 0};
  const ParsedAddress parsed = ParseFetchAddress(address);
  if (!parsed) return {FetchFailure::kBadAddress, 0, parsed.fault};
  address = TextValue::FromBytes(parsed.address.RequestAddress());

  auto job = std::make_shared<StreamJob>();
  job->request.address = std::move(address);
  job->request.verb = TextValue::Literal("GET");
  job->request.extraHeaders = TextValue::FromBytes(options.extraHeaders);
  job->stream = std::move(stream);
  job->byteCap = options.byteCap;
  job->lastActivity.store(TickCount());

  ThreadHandle thread = StartFetchWorker([job] { RunStream(*job); });
  if (!thread) return {FetchFailure::kOther, 0};

  // Waits in short slices, for as long as data keeps arriving.
  const int64_t idleMs = std::max<int64_t>(0, static_cast<int64_t>(options.idleSeconds) * 1000);
  for (;;) {
    const winapi::Dword r = CallExternal<kExtMsgWaitForMultipleObjects>(
        1u, thread.address(), 0, kWaitSliceMs, winapi::kQsAllEvents);
    ProcessEvents();
    if (r == winapi::kWaitObject0) break;
    if (options.onWait) options.onWait();
    if (static_cast<int64_t>(TickCount() - job->lastActivity.load()) >= idleMs) {
      // Told to stop, not cut off: it ends on its own, and its stream with it.
      job->stop.Stop();
      return {FetchFailure::kTimeout, 0};
    }
  }
  return job->outcome;
}

}  // namespace tobrine
