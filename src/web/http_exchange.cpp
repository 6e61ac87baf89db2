#include "web/http_exchange.h"

#include <optional>
#include <string>
#include <vector>

#include "runtime/commands.h"
#include "runtime/external.h"
#include "web/cookies.h"
#include "web/exchange_record.h"
#include "web/http_headers.h"
#include "web/markers.h"
#include "web/url.h"

namespace tobrine {
namespace {

using InternetHandle = ExternalHandle<kExtInternetCloseHandle>;

constexpr std::string_view kDefaultAgent =
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 2.0.50727; .NET CLR "
    "3.0.04506.648; .NET CLR 3.5.21022)";
constexpr int32_t kChunk = 2048;
// Raw response headers beyond this are not read (the response then fails).
constexpr winapi::Dword kMaxHeaderBytes = 1 << 20;

bool Stopped(const ExchangeStop* stop) {
  return stop && stop->stopped();
}

// Where one request goes.
struct Target {
  TextValue host;
  TextValue path;
  uint16_t port = 0;
  bool secure = false;
};

Target TargetOf(std::string_view address) {
  Target t;
  t.host = UrlHost(address);
  t.path = UrlObjectPath(address);
  t.port = static_cast<uint16_t>(UrlPort(address));  // 1 to 65535: the address is fetchable
  // Only an address that begins with the https scheme is secure; "https://"
  // further on (in a query) does not make it so.
  t.secure = IsSecureAddress(address);
  return t;
}

// The caller's "User-Agent:" line names the agent (the line is sent as well).
TextValue AgentFor(TextValue& extraHeaders) {
  if (FindText(extraHeaders, "User-Agent:", 1, true) == -1)
    return TextValue::Literal(kDefaultAgent);
  TextValue left = TextValue::Literal("User-Agent:");
  TextValue right = TextValue::Literal("\r\n");
  return TrimSpaces(TextBetween(extraHeaders, left, right));
}

// Open: the Internet handle, direct or through the caller's proxy for http.
InternetHandle OpenInternet(ExchangeRequest& request) {
  TextValue agent = AgentFor(request.extraHeaders);
  if (request.proxy.empty()) {
    return InternetHandle(CallExternal<kExtInternetOpenA>(
        agent.c_str(), winapi::kInternetOpenTypeDirect, "", "", 0u));
  }
  TextValue proxy = JoinTexts(std::string_view("http="), request.proxy);
  return InternetHandle(CallExternal<kExtInternetOpenA>(
      agent.c_str(), winapi::kInternetOpenTypeProxy, proxy.c_str(), "", 0u));
}

InternetHandle Connect(const InternetHandle& internet, const Target& target) {
  return InternetHandle(
      CallExternal<kExtInternetConnectA>(internet.get(), target.host.c_str(), target.port, "", "",
                                         winapi::kInternetServiceHttp, 0u, uintptr_t{0}));
}

// Redirects are followed here, not by WinINet, so that their number is bounded
// and each response's cookies are stored under the host that sent them.
winapi::Dword RequestFlags(const ExchangeRequest& request, bool secure) {
  // An https request takes the stored cookies whatever the caller asked for.
  if (secure) return winapi::kInternetFlagSecure | winapi::kInternetFlagNoAutoRedirect;
  winapi::Dword flags = winapi::kInternetFlagReload | winapi::kInternetFlagNeedFile |
                        winapi::kInternetFlagIgnoreRedirectToHttps |
                        winapi::kInternetFlagNoAutoRedirect;
  if (!TrimSpaces(request.cookies).empty()) flags |= winapi::kInternetFlagNoCookies;
  return flags;
}

// The request handle, shared with the stop while it is open: whichever of the
// two lets go first closes it.
class StoppableRequest {
 public:
  StoppableRequest(InternetHandle handle, ExchangeStop* stop)
      : handle_(std::move(handle)), stop_(stop) {
    if (handle_ && stop_ && !stop_->Use(handle_.get())) handle_.release();
  }
  StoppableRequest(const StoppableRequest&) = delete;
  StoppableRequest& operator=(const StoppableRequest&) = delete;
  ~StoppableRequest() {
    if (handle_ && stop_ && !stop_->Release()) handle_.release();
  }
  void* get() const { return handle_.get(); }
  explicit operator bool() const { return static_cast<bool>(handle_); }

 private:
  InternetHandle handle_;
  ExchangeStop* stop_;
};

// Send: a GET, or a POST with its body; any other verb sends nothing (and then
// gets no response).
bool Send(const StoppableRequest& handle, const ExchangeRequest& request, bool withCookies) {
  const bool post = request.verb.view() == "POST";
  if (!post && request.verb.view() != "GET") return false;
  TextValue block = ComposeRequestHeaders(request, withCookies);
  const ByteBlock& body = request.postBody;
  // Declared writable, only read.
  void* optional = post && !body.empty() ? const_cast<uint8_t*>(body.data()) : nullptr;
  return CallExternal<kExtHttpSendRequestA>(
             handle.get(), block.c_str(), static_cast<winapi::Dword>(block.size()), optional,
             static_cast<winapi::Dword>(post ? body.size() : 0)) != 0;
}

enum class BodyEnd { kComplete, kTooLarge, kStopped };

// Read body: chunk after chunk until a read gives nothing (also after a
// failure), never beyond kMaxBodyBytes. The body grows in one buffer (amortised
// linear time), not into a new block per chunk.
BodyEnd ReadBody(const StoppableRequest& handle, const ExchangeStop* stop, ByteBlock& out) {
  std::string body;
  std::vector<char> chunk(kChunk);
  while (!Stopped(stop)) {
    winapi::Dword count = 0;
    CallExternal<kExtInternetReadFile>(handle.get(), chunk.data(),
                                       static_cast<winapi::Dword>(kChunk), &count);
    if (count == 0) {
      out = ByteBlock::FromBytes(body);
      return BodyEnd::kComplete;
    }
    if (count > static_cast<winapi::Dword>(kChunk) ||
        body.size() + count > static_cast<std::size_t>(kMaxBodyBytes))
      return BodyEnd::kTooLarge;
    body.append(chunk.data(), count);
  }
  return BodyEnd::kStopped;
}

// Read headers: the raw response headers. Headers longer than the first buffer
// are queried again with the size WinINet asks for, up to kMaxHeaderBytes, so
// that none of them (and none of the cookies in them) is lost. A failed query
// gives the empty text.
TextValue ReadHeaders(const StoppableRequest& handle) {
  std::vector<char> buffer(kChunk + 1, ' ');
  buffer[kChunk] = '\0';
  winapi::Dword length = kChunk;
  auto query = [&] {
    return CallExternal<kExtHttpQueryInfoA>(handle.get(), winapi::kHttpQueryRawHeadersCrlf,
                                            buffer.data(), &length, nullptr);
  };
  if (query()) return TextValue::FromBytes(buffer.data());
  if (length > kChunk && length <= kMaxHeaderBytes) {
    buffer.assign(length + 1, '\0');
    if (query()) return TextValue::FromBytes(buffer.data());
  }
  return {};
}

bool IsRedirect(int32_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// One request and its response, every handle of it closed on return.
struct Hop {
  std::optional<int32_t> status;  // nothing: no response with a status line
  TextValue rawHeaders;
  std::string next;  // the redirect's target when it is to be followed
  BodyEnd bodyEnd = BodyEnd::kComplete;
  ByteBlock body;
};

Hop Perform(const InternetHandle& internet, const ExchangeRequest& request, bool follow,
            bool withCookies, ExchangeStop* stop) {
  Hop hop;
  const Target target = TargetOf(request.address);
  InternetHandle connection = Connect(internet, target);
  if (!connection) return hop;
  StoppableRequest handle(
      InternetHandle(CallExternal<kExtHttpOpenRequestA>(
          connection.get(), request.verb.c_str(), target.path.c_str(), "HTTP/1.1", nullptr, nullptr,
          RequestFlags(request, target.secure), uintptr_t{0})),
      stop);
  if (!handle) return hop;
  const bool sent = Send(handle, request, withCookies);
  hop.rawHeaders = ReadHeaders(handle);
  if (!sent || Stopped(stop)) return hop;
  hop.status = ResponseStatus(hop.rawHeaders);
  if (!hop.status) return hop;
  if (follow && IsRedirect(*hop.status)) {
    hop.next = ResolveLocation(request.address, ResponseHeader(hop.rawHeaders, "Location"));
    if (!hop.next.empty()) return hop;
  }
  hop.bodyEnd = ReadBody(handle, stop, hop.body);
  return hop;
}

// The request for the redirect's target: a POST turns into a GET without a body
// except after 307 and 308, as browsers do.
void Redirect(ExchangeRequest& request, std::string_view next, int32_t status) {
  request.address = TextValue::FromBytes(next);
  if (request.verb.view() == "POST" && status != 307 && status != 308) {
    request.verb = TextValue::Literal("GET");
    request.postBody = ByteBlock();
  }
}

ExchangeRequest Copy(const ExchangeRequest& r) {
  return {r.address.Copy(),  r.verb.Copy(),    r.proxy.Copy(),   r.extraHeaders.Copy(),
          r.postBody.Copy(), r.cookies.Copy(), r.followRedirects};
}

ExchangeEnd Write(int32_t file, const ExchangeRequest& request, const ExchangeReply& reply,
                  ExchangeEnd end) {
  if (WriteExchangeReply(file, request, reply)) return end;
  // Never leave the request where the reply belongs.
  WriteEmptyExchangeRecord(file);
  return ExchangeEnd::kNotWritten;
}

}  // namespace

void ExchangeStop::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_.store(true);
  if (void* request = std::exchange(request_, nullptr))
    CallExternal<kExtInternetCloseHandle>(request);
}

bool ExchangeStop::Use(void* request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_.load()) {
    CallExternal<kExtInternetCloseHandle>(request);
    return false;
  }
  request_ = request;
  return true;
}

bool ExchangeStop::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(request_, nullptr) != nullptr;
}

ExchangeEnd HttpExchange(int32_t file, ExchangeStop* stop) {
  std::optional<ExchangeRequest> original = ReadExchangeRequest(file);
  if (!original) {
    // An unreadable request must not come back as its own answer (the address
    // as the body).
    WriteEmptyExchangeRecord(file);
    return ExchangeEnd::kUnreadable;
  }
  // A failure gives an empty body and no received cookies or headers (the
  // request's own verb and cookie text are not results).
  ExchangeReply reply;
  if (!RequestTextsAreSafe(*original)) return Write(file, *original, reply, ExchangeEnd::kRefused);
  InternetHandle internet = OpenInternet(*original);
  if (!internet) return Write(file, *original, reply, ExchangeEnd::kAnswered);

  // The request as it goes from redirect to redirect; the record keeps the
  // original's slots.
  ExchangeRequest request = Copy(*original);
  const TextValue firstHost = UrlHost(request.address);
  // An https request follows redirects whatever the caller asked for.
  const bool follow = request.followRedirects || IsSecureAddress(request.address);
  for (int32_t redirects = 0;; ++redirects) {
    // The caller's cookie text goes to the host it was given for, and no other.
    const TextValue host = UrlHost(request.address);
    Hop hop = Perform(internet, request, follow, host.view() == firstHost.view(), stop);
    if (Stopped(stop)) return ExchangeEnd::kStopped;
    if (!hop.status) {
      // No response, or none with a status line: nothing from it is used but
      // the header text WinINet gives.
      reply.rawHeaders = std::move(hop.rawHeaders);
      return Write(file, *original, reply, ExchangeEnd::kAnswered);
    }
    // Each response's cookies are stored under the host that sent them.
    TextValue cookies = CollectCookies(hop.rawHeaders, host, IsSecureAddress(request.address));
    if (!hop.next.empty()) {
      // Not to an address that would not be fetched, not from https down to
      // http, and not for ever.
      if (redirects == kMaxRedirects || !IsFetchableAddress(hop.next) ||
          (IsSecureAddress(request.address) && !IsSecureAddress(hop.next)))
        return Write(file, *original, ExchangeReply(), ExchangeEnd::kAnswered);
      Redirect(request, hop.next, *hop.status);
      continue;
    }
    if (hop.bodyEnd == BodyEnd::kTooLarge)
      return Write(file, *original, ExchangeReply(), ExchangeEnd::kTooLarge);
    reply.body = std::move(hop.body);
    reply.rawHeaders = std::move(hop.rawHeaders);
    reply.receivedCookies = std::move(cookies);
    return Write(file, *original, reply, ExchangeEnd::kAnswered);
  }
}

}  // namespace tobrine
