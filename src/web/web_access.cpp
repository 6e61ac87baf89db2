#include "web/web_access.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "runtime/commands.h"
#include "runtime/external.h"
#include "runtime/memory_file.h"
#include "text/codepage.h"
#include "web/exchange_record.h"
#include "web/http_exchange.h"
#include "web/url.h"

namespace tobrine {
namespace {

using ThreadHandle = ExternalHandle<kExtCloseHandle>;

constexpr std::string_view kTimeoutNotice =
    "超时返回，指定网站不能访问，或者你的网络出现问题，你可以把参数中的＂超时返回＂的值设置长一些"
    "。";

// One fetch's record file, shared by the waiting thread and the worker. Whoever
// lets go last closes the file, so a worker given up on at the time-out keeps
// its record until it has finished with it.
struct FetchJob {
  int32_t file = 0;
  ExchangeStop stop;
  std::atomic<ExchangeEnd> end{ExchangeEnd::kStopped};
  FetchOutcome outcome;  // the worker's; read after it has ended
  ~FetchJob() { CloseFile(file); }
};

winapi::Dword TOBRINE_WINAPI FetchWorker(void* parameter) {
  std::unique_ptr<std::shared_ptr<FetchJob>> job(
      static_cast<std::shared_ptr<FetchJob>*>(parameter));
  (*job)->end.store(HttpExchange((*job)->file, &(*job)->stop, &(*job)->outcome));
  return 0;
}

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
  auto parameter = std::make_unique<std::shared_ptr<FetchJob>>(job);
  winapi::Dword threadId = 0;
  ThreadHandle thread(CallExternal<kExtCreateThread>(nullptr, std::size_t{0}, &FetchWorker,
                                                     parameter.get(), 0u, &threadId));
  if (thread) parameter.release();  // the worker's now
  return thread;
}

// Waits for the worker while dispatching the thread's messages; true when it
// ended within the time-out.
bool WaitForWorker(const ThreadHandle& thread, int32_t timeoutSeconds) {
  // A negative time-out has already passed.
  const int64_t timeoutMs = std::max<int64_t>(0, static_cast<int64_t>(timeoutSeconds) * 1000);
  const uint32_t start = TickCount();
  winapi::Dword r;
  do {
    const uint32_t elapsed = TickCount() - start;
    // Each wait lasts at most until the time-out is reached, so that a stream
    // of messages cannot stretch the fetch beyond it.
    // (Never the "infinite" value, however long the time-out.)
    const auto remaining = static_cast<winapi::Dword>(
        std::min<int64_t>(elapsed >= timeoutMs ? 0 : timeoutMs - elapsed, 0xFFFFFFFE));
    r = CallExternal<kExtMsgWaitForMultipleObjects>(1u, thread.address(), 0, remaining,
                                                    winapi::kQsAllEvents);
    if (static_cast<int64_t>(TickCount() - start) >= timeoutMs) r = winapi::kWaitTimeout;
    ProcessEvents();
  } while (r != winapi::kWaitObject0 && r != winapi::kWaitTimeout);
  return r == winapi::kWaitObject0;
}

ByteBlock ConvertBody(BodyConversion conversion, const ByteBlock& raw) {
  // The converted text ends at the body's first NUL byte.
  const std::string_view text = TextUpToNul(raw.bytes());
  TextValue converted =
      conversion == BodyConversion::kUtf8 ? text::Utf8ToGbk(text) : text::Big5ToSimplifiedGbk(text);
  return ToByteBlock(Value::Text(converted));
}

}  // namespace

std::string_view TimeoutNotice() {
  return kTimeoutNotice;
}

ByteBlock WebAccess(TextValue& address, const FetchOptions& options) {
  FetchOutcome ignored;
  FetchOutcome& outcome = options.outcome ? *options.outcome : ignored;
  outcome = {FetchFailure::kOther, 0};
  if (TrimSpaces(address).empty()) return {};
  if (!HasWebScheme(address)) address = JoinTexts(std::string_view("http://"), address);
  // Nothing that could end the request line or add a header line is sent.
  if (!IsFetchableAddress(address)) return {};

  auto job = std::make_shared<FetchJob>();
  job->file = OpenMemoryFile();
  if (job->file == 0) return {};
  if (!WriteExchangeRequest(job->file, RequestFor(address, options))) return {};

  ThreadHandle thread = StartWorker(job);
  if (!thread) return {};  // no worker: nothing will ever arrive
  if (!WaitForWorker(thread, options.timeoutSeconds)) {
    // The worker is not cut off (that could leave a lock it holds taken for
    // good): it is told to stop, which closes its request handle so that a call
    // blocked in it returns; it finishes on its own and its results are never
    // looked at.
    job->stop.Stop();
    outcome = {FetchFailure::kTimeout, 0};
    return ByteBlock::FromBytes(kTimeoutNotice);
  }
  thread = ThreadHandle();

  // Only a reply the exchange wrote is read: never the request in its place. A
  // body beyond kMaxBodyBytes (ExchangeEnd::kTooLarge) fails like any other.
  const FetchOutcome exchanged = job->outcome;
  if (job->end.load() != ExchangeEnd::kAnswered) {
    outcome = exchanged;
    return {};
  }
  std::optional<ExchangeReply> reply = ReadExchangeReply(job->file);
  job.reset();  // closes the file
  if (!reply) return {};
  outcome = exchanged;
  if (options.receivedHeaders) *options.receivedHeaders = std::move(reply->rawHeaders);
  if (options.receivedCookies) *options.receivedCookies = std::move(reply->receivedCookies);
  if (options.conversion != BodyConversion::kNone)
    return ConvertBody(options.conversion, reply->body);
  return std::move(reply->body);
}

}  // namespace tobrine
