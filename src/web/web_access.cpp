#include "web/web_access.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "runtime/commands.h"
#include "runtime/external.h"
#include "runtime/memory_file.h"
#include "text/codepage.h"
#include "web/http_exchange.h"

namespace tobrine {
namespace {

constexpr std::string_view kTimeoutNotice =
    "超时返回，指定网站不能访问，或者你的网络出现问题，你可以把参数中的＂超时返回＂的值设置长一些"
    "。";

// One fetch's record file, shared by the waiting thread and the worker. Whoever
// lets go last closes the file, so a worker given up on at the time-out keeps
// its record until it has finished with it.
struct FetchJob {
  int32_t file = 0;
  std::atomic<bool> stop{false};
  ~FetchJob() { CloseFile(file); }
};

winapi::Dword TOBRINE_WINAPI FetchWorker(void* parameter) {
  std::unique_ptr<std::shared_ptr<FetchJob>> job(
      static_cast<std::shared_ptr<FetchJob>*>(parameter));
  HttpExchange((*job)->file, &(*job)->stop);
  return 0;
}

bool HasScheme(std::string_view address) {
  // Any letter case: "HTTP://host" already names its scheme.
  return CompareText(LeftText(address, 7), "http://", false) == 0 ||
         CompareText(LeftText(address, 8), "https://", false) == 0;
}

ByteBlock ConvertBody(int32_t conversion, const ByteBlock& raw) {
  // The converted text ends at the body's first NUL byte.
  std::string_view bytes = raw.bytes();
  bytes = bytes.substr(0, bytes.find('\0'));
  TextValue converted = conversion == 1 ? text::Utf8ToGbk(bytes) : text::Big5ToSimplifiedGbk(bytes);
  return ToByteBlock(Value::Text(converted));
}

}  // namespace

TextValue AddressWithScheme(TextValue address) {
  if (HasScheme(address)) return address;
  return JoinTexts(std::string_view("http://"), address);
}

std::string_view TimeoutNotice() {
  return kTimeoutNotice;
}

ByteBlock WebAccess(TextValue& address, std::optional<int32_t> method,
                    std::optional<std::string_view> proxy,
                    std::optional<std::string_view> extraHeaders,
                    std::optional<std::string_view> postBody,
                    std::optional<std::string_view> cookies, std::optional<int32_t> timeoutSeconds,
                    TextValue* receivedHeaders, std::optional<int32_t> bodyConversion,
                    TextValue* receivedCookies, std::optional<bool> followRedirects) {
  if (TrimSpaces(address).empty()) return {};
  const bool follow = followRedirects.value_or(true);
  address = AddressWithScheme(std::move(address));

  auto job = std::make_shared<FetchJob>();
  job->file = OpenMemoryFile();
  if (job->file == 0) return {};
  {
    ExchangeRecord request = {
        ByteBlock::FromBytes(address.view()),
        ByteBlock::FromBytes(method.value_or(0) == 1 ? "POST" : "GET"),
        ByteBlock::FromBytes(proxy.value_or("")),
        ByteBlock::FromBytes(extraHeaders.value_or("")),
        ByteBlock::FromBytes(postBody.value_or("")),
        ByteBlock::FromBytes(cookies.value_or("")),
        ByteBlock::FromBytes(follow ? "真" : "假"),
    };
    if (!WriteExchangeRecord(job->file, request)) return {};
  }

  auto* parameter = new std::shared_ptr<FetchJob>(job);
  winapi::Dword threadId = 0;
  winapi::Handle thread =
      CallExternal<winapi::CreateThreadFn>(kExtCreateThread, nullptr, std::size_t{0}, &FetchWorker,
                                           static_cast<void*>(parameter), 0u, &threadId);
  if (!thread) {  // no worker: nothing will ever arrive
    delete parameter;
    return {};
  }

  // A negative time-out has already passed.
  const int64_t timeoutMs =
      timeoutSeconds ? std::max<int64_t>(0, static_cast<int64_t>(*timeoutSeconds) * 1000) : 60000;
  const uint32_t start = TickCount();
  winapi::Dword r;
  do {
    const uint32_t elapsed = TickCount() - start;
    // Each wait lasts at most until the time-out is reached, so that a stream
    // of messages cannot stretch the fetch beyond it.
    // (Never the "infinite" value, however long the time-out.)
    const auto remaining = static_cast<winapi::Dword>(
        std::min<int64_t>(elapsed >= timeoutMs ? 0 : timeoutMs - elapsed, 0xFFFFFFFE));
    r = CallExternal<winapi::MsgWaitForMultipleObjectsFn>(
        kExtMsgWaitForMultipleObjects, 1u, &thread, 0, remaining, winapi::kQsAllEvents);
    if (static_cast<int64_t>(TickCount() - start) >= timeoutMs) r = winapi::kWaitTimeout;
    ProcessEvents();
  } while (r != winapi::kWaitObject0 && r != winapi::kWaitTimeout);

  if (r == winapi::kWaitTimeout) {
    // The worker is not cut off (that could leave a lock it holds taken for
    // good): it is told to stop, finishes on its own and its results are never
    // looked at.
    job->stop.store(true);
    CallExternal<winapi::CloseHandleFn>(kExtCloseHandle, thread);
    return ByteBlock::FromBytes(kTimeoutNotice);
  }
  CallExternal<winapi::CloseHandleFn>(kExtCloseHandle, thread);

  ExchangeRecord slots;
  const bool read = ReadExchangeRecord(job->file, slots);
  job.reset();  // closes the file
  if (!read) return {};
  if (receivedHeaders) *receivedHeaders = ExchangeSlotText(slots[5]);
  if (receivedCookies) *receivedCookies = ExchangeSlotText(slots[1]);
  const int32_t conversion = bodyConversion.value_or(0);
  if (conversion == 1 || conversion == 2) return ConvertBody(conversion, slots[0]);
  return std::move(slots[0]);
}

}  // namespace tobrine
