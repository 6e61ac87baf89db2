#include "web/http_exchange.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "platform/system.h"
#include "runtime/commands.h"
#include "runtime/external.h"
#include "web/cookies.h"
#include "web/exchange_record.h"
#include "web/markers.h"
#include "web/url.h"

namespace tobrine {
namespace {

using InternetHandle = ExternalHandle<kExtInternetCloseHandle>;

constexpr std::string_view kDefaultAgent =
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 2.0.50727; .NET CLR "
    "3.0.04506.648; .NET CLR 3.5.21022)";
constexpr std::string_view kAcceptLine =
    "Accept: image/gif, image/bmp, image/x-xbitmap, image/jpeg, image/pjpeg, "
    "application/x-shockwave-flash, application/vnd.ms-excel, application/vnd.ms-powerpoint, "
    "application/msword, */*\r\n";
constexpr std::string_view kLanguageLine = "Accept-Language: zh-cn\r\n";
constexpr std::string_view kContentTypeLine = "Content-Type: application/x-www-form-urlencoded\r\n";
constexpr std::string_view kCrLf = "\r\n";
constexpr int32_t kChunk = 2048;
// The most room made for a body before its bytes arrive (a length that is
// announced, not yet sent).
constexpr std::size_t kMostReservedAhead = std::size_t{64} << 20;
// A streamed body is read in larger chunks: it may run to gigabytes. WinINet
// hands a chunk on only when it is full (or the body has ended), so a stalled
// transfer holds back less than one chunk.
constexpr int32_t kStreamChunk = 16 * 1024;

bool Stopped(const std::atomic<bool>* stop) {
  return stop && stop->load();
}

bool Contains(std::string_view block, std::string_view word) {
  return FindText(block, word, 1, true) != -1;
}

// Where the request goes.
struct Target {
  TextValue host;
  TextValue path;
  uint16_t port = 0;  // the address's own; without one, 443 for https and 80 for http
  bool secure = false;
};

Target TargetOf(std::string_view address) {
  Target t;
  t.host = UrlHost(address);
  t.path = UrlObjectPath(address);
  t.port = static_cast<uint16_t>(UrlPort(address));
  // Only an address that begins with the https scheme is secure; "https://"
  // further on (in a query) does not make it so.
  t.secure = IsSecureAddress(address);
  return t;
}

// The caller's "User-Agent:" line names the agent (the line is sent as well).
TextValue AgentFor(TextValue& extraHeaders) {
  if (!Contains(extraHeaders, "User-Agent:")) return TextValue::Literal(kDefaultAgent);
  TextValue left = TextValue::Literal("User-Agent:");
  TextValue right = TextValue::Literal(kCrLf);
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

winapi::Dword RequestFlags(const ExchangeRequest& request, bool secure) {
  // Deliberately SECURE alone: an https request always takes the stored cookies
  // and follows redirects, whatever the caller asked for (pinned by a test).
  if (secure) return winapi::kInternetFlagSecure;
  winapi::Dword flags = winapi::kInternetFlagReload | winapi::kInternetFlagNeedFile |
                        winapi::kInternetFlagIgnoreRedirectToHttps;
  if (!TrimSpaces(request.cookies).empty()) flags |= winapi::kInternetFlagNoCookies;
  if (!request.followRedirects) flags |= winapi::kInternetFlagNoAutoRedirect;
  return flags;
}

// A streamed body is not written to WinINet's cache as well (it may be a
// package of gigabytes); the certificate checks are those of every request.
winapi::Dword StreamRequestFlags(bool secure) {
  return winapi::kInternetFlagReload | winapi::kInternetFlagNoCacheWrite |
         (secure ? winapi::kInternetFlagSecure : winapi::kInternetFlagIgnoreRedirectToHttps);
}

InternetHandle OpenRequest(const InternetHandle& connection, const ExchangeRequest& request,
                           const Target& target, winapi::Dword flags) {
  return InternetHandle(CallExternal<kExtHttpOpenRequestA>(connection.get(), request.verb.c_str(),
                                                           target.path.c_str(), "HTTP/1.1", nullptr,
                                                           nullptr, flags, uintptr_t{0}));
}

// How a WinINet call that just failed failed; read before any other call.
FetchOutcome LastCallFailure() {
  const FetchFailure failure = FailureOfInternetError(platform::LastSystemError());
  return {failure == FetchFailure::kNone ? FetchFailure::kOther : failure, 0};
}

// The final response's status, 0 when there is none.
int32_t ResponseStatus(const InternetHandle& handle) {
  winapi::Dword status = 0;
  winapi::Dword length = sizeof status;
  if (!CallExternal<kExtHttpQueryInfoA>(handle.get(),
                                        winapi::kHttpQueryStatusCode | winapi::kHttpQueryFlagNumber,
                                        &status, &length, nullptr))
    return 0;
  return static_cast<int32_t>(status);
}

// The header block: the caller's lines and the default set, in the order Accept,
// Referer, Accept-Language, Content-Type, Content-Length, Cookie.
TextValue ComposeHeaders(const ExchangeRequest& request) {
  const std::string_view verb = request.verb;
  TextValue block = request.extraHeaders.Copy();
  if (!Contains(block, "Accept")) block = JoinTexts(block, kAcceptLine);
  if (Contains(block, "RefererNo")) {
    block = ReplaceSubtext(block, "RefererNo", std::nullopt, 1, 1, true);
  } else if (!Contains(block, "Referer")) {
    block = JoinTexts(block, std::string_view("Referer: "), request.address, kCrLf);
  }
  if (!Contains(block, "Accept-Language")) block = JoinTexts(block, kLanguageLine);
  if (verb == "POST" && !request.postBody.empty()) {
    if (!Contains(block, "Content-Type")) block = JoinTexts(block, kContentTypeLine);
    if (!Contains(block, "Content-Length"))
      block = JoinTexts(block, std::string_view("Content-Length: "),
                        std::to_string(request.postBody.size()), kCrLf);
  }
  if ((verb == "GET" || verb == "POST") && !request.cookies.empty())
    block = JoinTexts(block, std::string_view("Cookie: "), request.cookies, kCrLf, kCrLf);
  return block;
}

// Send: a GET, or a POST with its body; any other verb sends nothing (and then
// reads no body). How the sending went; the exchange reads on either way.
FetchOutcome Send(const InternetHandle& handle, const ExchangeRequest& request) {
  const bool post = request.verb.view() == "POST";
  if (!post && request.verb.view() != "GET") return {FetchFailure::kOther, 0};
  TextValue block = ComposeHeaders(request);
  const ByteBlock& body = request.postBody;
  // Declared writable, only read.
  void* optional = post && !body.empty() ? const_cast<uint8_t*>(body.data()) : nullptr;
  if (!CallExternal<kExtHttpSendRequestA>(handle.get(), block.c_str(),
                                          static_cast<winapi::Dword>(block.size()), optional,
                                          static_cast<winapi::Dword>(post ? body.size() : 0)))
    return LastCallFailure();
  return OutcomeOfStatus(ResponseStatus(handle));
}

// The length a response's "Content-Length:" line announces, 0 when none.
std::size_t AnnouncedLength(std::string_view headers) {
  constexpr std::string_view kName = "\r\ncontent-length:";
  const int32_t at = FindText(headers, kName, 1, true);
  if (at < 0) return 0;
  std::size_t p = static_cast<std::size_t>(at) - 1 + kName.size();
  while (p < headers.size() && headers[p] == ' ') ++p;
  std::size_t length = 0;
  for (; p < headers.size() && headers[p] >= '0' && headers[p] <= '9'; ++p) {
    if (length > kMostReservedAhead / 10) return kMostReservedAhead;
    length = length * 10 + static_cast<std::size_t>(headers[p] - '0');
  }
  return std::min(length, kMostReservedAhead);
}

// Read body: chunk after chunk until a read gives nothing (also after a
// failure, which `outcome` then tells). Each chunk is read straight into the
// end of the one block that is handed on (amortised linear time, no copy); the
// length the headers announce is made room for at once. A body that cannot grow
// further gives the empty body; nothing when told to stop first.
std::optional<ByteBlock> ReadBody(const InternetHandle& handle, std::size_t announced,
                                  const std::atomic<bool>* stop, FetchOutcome& outcome) {
  ByteBlockBuilder body;
  if (announced > 0) body.Expect(announced + kChunk);  // the last, empty read fits too
  while (!Stopped(stop)) {
    uint8_t* room = body.Reserve(kChunk);
    if (!room) return ByteBlock();
    winapi::Dword count = 0;
    if (!CallExternal<kExtInternetReadFile>(handle.get(), room, static_cast<winapi::Dword>(kChunk),
                                            &count) &&
        outcome.failure == FetchFailure::kNone)
      outcome = {LastCallFailure().failure, outcome.httpStatus};
    if (count == 0) return body.Take();
    body.Commit(count);
  }
  return std::nullopt;
}

// Read headers: the raw response headers. Headers longer than the first buffer
// are queried again with the size WinINet asks for, so that none of them (and
// none of the cookies in them) is lost. A failed query gives the empty text.
TextValue ReadHeaders(const InternetHandle& handle) {
  std::vector<char> buffer(kChunk + 1, ' ');
  buffer[kChunk] = '\0';
  winapi::Dword length = kChunk;
  auto query = [&] {
    return CallExternal<kExtHttpQueryInfoA>(handle.get(), winapi::kHttpQueryRawHeadersCrlf,
                                            buffer.data(), &length, nullptr);
  };
  if (query()) return TextValue::FromBytes(buffer.data());
  if (length > kChunk && length < (1u << 24)) {
    buffer.assign(length + 1, '\0');
    if (query()) return TextValue::FromBytes(buffer.data());
  }
  return {};
}

// Opens, sends and reads the body and headers into `reply`; every handle is
// closed when it returns (request, connection, Internet handle). A handle that
// cannot be opened leaves the reply empty. False when told to stop. `outcome`
// tells how it went.
bool Transfer(ExchangeRequest& request, const Target& target, const std::atomic<bool>* stop,
              ExchangeReply& reply, FetchOutcome& outcome) {
  InternetHandle internet = OpenInternet(request);
  if (!internet) return outcome = LastCallFailure(), true;
  InternetHandle connection = Connect(internet, target);
  if (!connection) return outcome = LastCallFailure(), true;
  InternetHandle handle =
      OpenRequest(connection, request, target, RequestFlags(request, target.secure));
  if (!handle) return outcome = LastCallFailure(), true;
  outcome = Send(handle, request);
  reply.rawHeaders = ReadHeaders(handle);
  std::optional<ByteBlock> body =
      ReadBody(handle, AnnouncedLength(reply.rawHeaders.view()), stop, outcome);
  if (!body) return false;
  reply.body = std::move(*body);
  return true;
}

}  // namespace

void HttpExchange(int32_t file, const std::atomic<bool>* stop, FetchOutcome* outcome,
                  ByteBlock* body) {
  FetchOutcome ignored;
  FetchOutcome& result = outcome ? *outcome : ignored;
  result = {FetchFailure::kOther, 0};
  std::optional<ExchangeRequest> request = ReadExchangeRequest(file);
  if (!request) {
    // An unreadable request must not come back as its own answer (the address
    // as the body).
    WriteEmptyExchangeRecord(file);
    return;
  }
  const Target target = TargetOf(request->address);
  // A handle that cannot be opened gives an empty body and no received cookies
  // or headers (the request's own verb and cookie text are not results).
  ExchangeReply reply;
  if (!Transfer(*request, target, stop, reply, result)) return;
  // Collected after every handle of the exchange is closed.
  reply.receivedCookies = CollectCookies(reply.rawHeaders, target.host);
  if (Stopped(stop)) return;
  if (body) *body = std::move(reply.body);
  WriteExchangeReply(file, *request, reply);
}

FetchOutcome StreamExchange(ExchangeRequest& request, BodyStream& stream,
                            const std::atomic<bool>* stop) {
  const Target target = TargetOf(request.address);
  InternetHandle internet = OpenInternet(request);
  if (!internet) return LastCallFailure();
  InternetHandle connection = Connect(internet, target);
  if (!connection) return LastCallFailure();
  InternetHandle handle =
      OpenRequest(connection, request, target, StreamRequestFlags(target.secure));
  if (!handle) return LastCallFailure();
  const FetchOutcome sent = Send(handle, request);
  if (sent.httpStatus == 0)
    return sent.failure == FetchFailure::kNone ? FetchOutcome{FetchFailure::kOther, 0} : sent;
  if (!stream.Begin(ReadHeaders(handle).view())) return sent;
  std::vector<char> chunk(kStreamChunk);
  while (!Stopped(stop)) {
    winapi::Dword count = 0;
    if (!CallExternal<kExtInternetReadFile>(handle.get(), chunk.data(),
                                            static_cast<winapi::Dword>(chunk.size()), &count))
      return {LastCallFailure().failure, sent.httpStatus};
    if (count == 0) return sent;
    if (!stream.Chunk({chunk.data(), count})) return {FetchFailure::kOther, sent.httpStatus};
  }
  return {FetchFailure::kOther, sent.httpStatus};
}

}  // namespace tobrine
