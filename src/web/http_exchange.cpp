#include "web/http_exchange.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/system.h"
#include "runtime/commands.h"
#include "runtime/external.h"
#include "text/markers.h"
#include "web/cookies.h"
#include "web/exchange_record.h"
#include "web/http_headers.h"
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
// A streamed body is read in larger chunks: it may run to gigabytes. WinINet
// hands a chunk on only when it is full (or the body has ended), so a stalled
// transfer holds back less than one chunk.
constexpr int32_t kStreamChunk = 16 * 1024;

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

// `address` is one the exchange has parsed already (ASCII, fetchable).
Target TargetOf(std::string_view address) {
  const WebAddress parsed = ParseFetchAddress(address).address;
  Target t;
  t.host = TextValue::FromBytes(parsed.host);
  t.path = TextValue::FromBytes(parsed.Target());
  t.port = static_cast<uint16_t>(parsed.EffectivePort());
  t.secure = parsed.secure;
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

// Open: the Internet handle, through the caller's proxy for http, or else as
// the system is set up (its proxy, if any, as other programs use it).
InternetHandle OpenInternet(ExchangeRequest& request) {
  TextValue agent = AgentFor(request.extraHeaders);
  if (request.proxy.empty()) {
    return InternetHandle(CallExternal<kExtInternetOpenA>(
        agent.c_str(), winapi::kInternetOpenTypePreconfig, "", "", 0u));
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
winapi::Dword RequestFlags(const ExchangeRequest& request, bool secure, bool streamed) {
  // A streamed body is not written to WinINet's cache as well (it may be a
  // package of gigabytes); the certificate checks are those of every request.
  if (streamed)
    return winapi::kInternetFlagReload | winapi::kInternetFlagNoCacheWrite |
           winapi::kInternetFlagNoAutoRedirect |
           (secure ? winapi::kInternetFlagSecure : winapi::kInternetFlagIgnoreRedirectToHttps);
  // An https request takes the stored cookies whatever the caller asked for.
  if (secure) return winapi::kInternetFlagSecure | winapi::kInternetFlagNoAutoRedirect;
  // A reload never reads WinINet's cache, so a GET does not write to it either:
  // a lookup would leave a file per page and manifest, and under Wine each
  // write waits for the cache's lock. (Other verbs keep the cache file: with
  // the no-write flag WinINet adds a Cache-Control line to their requests.)
  const bool get = request.verb.view() == "GET";
  winapi::Dword flags = winapi::kInternetFlagReload |
                        (get ? winapi::kInternetFlagNoCacheWrite : winapi::kInternetFlagNeedFile) |
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

// How a WinINet call that just failed failed; read before any other call.
FetchFailure LastCallFailure() {
  const FetchFailure failure = FailureOfInternetError(platform::LastSystemError());
  return failure == FetchFailure::kNone ? FetchFailure::kOther : failure;
}

// Send: a GET, or a POST with its body; any other verb sends nothing (and then
// gets no response). Nothing when it was sent, else why not.
std::optional<FetchFailure> Send(const StoppableRequest& handle, const ExchangeRequest& request,
                                 bool withCookies) {
  const bool post = request.verb.view() == "POST";
  if (!post && request.verb.view() != "GET") return FetchFailure::kOther;
  TextValue block = ComposeRequestHeaders(request, withCookies);
  const ByteBlock& body = request.postBody;
  // Declared writable, only read.
  void* optional = post && !body.empty() ? const_cast<uint8_t*>(body.data()) : nullptr;
  if (!CallExternal<kExtHttpSendRequestA>(handle.get(), block.c_str(),
                                          static_cast<winapi::Dword>(block.size()), optional,
                                          static_cast<winapi::Dword>(post ? body.size() : 0)))
    return LastCallFailure();
  return std::nullopt;
}

enum class BodyEnd { kComplete, kRefused, kStopped };

// Read body: chunk after chunk into `sink` until a read gives nothing (also
// after a failure, which `failure` then tells) or the sink refuses more.
BodyEnd ReadBody(const StoppableRequest& handle, const ExchangeStop* stop, int32_t chunkSize,
                 BodyStream& sink, std::optional<FetchFailure>& failure) {
  std::vector<char> chunk(static_cast<std::size_t>(chunkSize));
  while (!Stopped(stop)) {
    winapi::Dword count = 0;
    if (!CallExternal<kExtInternetReadFile>(handle.get(), chunk.data(),
                                            static_cast<winapi::Dword>(chunkSize), &count))
      failure = LastCallFailure();
    if (count == 0) return BodyEnd::kComplete;
    // More than was asked for is never taken.
    if (count > static_cast<winapi::Dword>(chunkSize) || !sink.Chunk({chunk.data(), count}))
      return BodyEnd::kRefused;
  }
  return BodyEnd::kStopped;
}

// The length a response's "Content-Length:" line announces, when it is a
// number no larger than kMaxBodyBytes.
std::optional<std::size_t> AnnouncedLength(std::string_view rawHeaders) {
  const std::string_view value = ResponseHeader(rawHeaders, "Content-Length");
  if (value.empty() || value.size() > 9) return std::nullopt;
  std::size_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::size_t>(c - '0');
  }
  if (n > static_cast<std::size_t>(kMaxBodyBytes)) return std::nullopt;
  return n;
}

// A body held whole, never beyond kMaxBodyBytes. Each chunk is written at the
// end of the one block that is handed on (amortised linear time, no copy); the
// length the headers announce is made room for at once.
//
// Given an expected text, the body is checked against it as it arrives and
// nothing is held while the two agree: a body whose text (up to its first NUL)
// is the expected one ends as `same`, with nothing held. At the first
// difference the part that agreed is copied from the expected text and the
// body is held from there on.
class HeldBody : public BodyStream {
 public:
  explicit HeldBody(std::optional<std::string_view> expected = std::nullopt)
      : expected_(expected) {}

  bool Begin(std::string_view rawHeaders) override {
    announced_ = AnnouncedLength(rawHeaders).value_or(0);
    if (!expected_) body.Expect(announced_);
    return true;
  }
  bool Chunk(std::string_view bytes) override {
    if (bytes.size() > static_cast<std::size_t>(kMaxBodyBytes) - received_) {
      tooLarge = true;
      return false;
    }
    received_ += bytes.size();
    const std::string_view rest = Unmatched(bytes);
    return !tooLarge && Hold(rest);
  }
  // Once the body has ended: whether it is the expected text. A body that ended
  // inside it is held as far as it came.
  bool Same() {
    if (!expected_) return false;
    if (matched_ == expected_->size()) return true;
    const std::string_view agreed = expected_->substr(0, matched_);
    expected_.reset();
    Hold(agreed);
    return false;
  }

  ByteBlockBuilder body;
  bool tooLarge = false;

 private:
  // The part of `bytes` to hold: none while the body agrees with the expected
  // text (or has gone past its end with a NUL, where the text ends).
  std::string_view Unmatched(std::string_view bytes) {
    if (!expected_) return bytes;
    if (pastTheText_) return {};
    const std::string_view rest = expected_->substr(matched_);
    const std::size_t both = std::min(bytes.size(), rest.size());
    std::size_t n = both;
    // An empty expected text (a page whose first byte is NUL) has no bytes to
    // compare, and may have no address either.
    if (both != 0 && std::memcmp(bytes.data(), rest.data(), both) != 0)
      n = static_cast<std::size_t>(
          std::mismatch(bytes.begin(), bytes.begin() + both, rest.begin()).first - bytes.begin());
    matched_ += n;
    if (n == bytes.size()) return {};
    if (matched_ == expected_->size() && bytes[n] == '\0') {
      pastTheText_ = true;
      return {};
    }
    // The first difference: what agreed comes from the expected text.
    const std::string_view agreed = expected_->substr(0, matched_);
    expected_.reset();
    body.Expect(announced_);
    if (!Hold(agreed)) return {};
    return bytes.substr(n);
  }
  bool Hold(std::string_view bytes) {
    if (bytes.empty()) return true;
    uint8_t* room = body.Reserve(bytes.size());
    if (!room) {
      tooLarge = true;  // no memory for it: as good as too large
      return false;
    }
    std::memcpy(room, bytes.data(), bytes.size());
    body.Commit(bytes.size());
    return true;
  }

  std::optional<std::string_view> expected_;
  std::size_t matched_ = 0;   // bytes of the expected text the body agreed with
  bool pastTheText_ = false;  // the body went on past the expected text with a NUL
  std::size_t received_ = 0;
  std::size_t announced_ = 0;  // the length the headers announce, when they do
};

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

// How one request goes: a streamed body or one held whole.
struct HopOptions {
  bool follow = false;       // a redirect's target is returned instead of its body
  bool withCookies = false;  // the caller's cookie text is sent
  bool streamed = false;
  int32_t chunkSize = kChunk;
};

// One request and its response, every handle of it closed on return.
struct Hop {
  std::optional<int32_t> status;        // nothing: no response with a status line
  std::optional<FetchFailure> failure;  // a WinINet call that failed
  TextValue rawHeaders;
  std::optional<ParsedAddress> next;  // the redirect's target when it is to be followed
  BodyEnd bodyEnd = BodyEnd::kComplete;
};

// The body goes to `sink`, once it has taken the headers.
Hop Perform(const InternetHandle& internet, const ExchangeRequest& request,
            const HopOptions& options, ExchangeStop* stop, BodyStream& sink) {
  Hop hop;
  const Target target = TargetOf(request.address);
  InternetHandle connection = Connect(internet, target);
  if (!connection) {
    hop.failure = LastCallFailure();
    return hop;
  }
  StoppableRequest handle(
      InternetHandle(CallExternal<kExtHttpOpenRequestA>(
          connection.get(), request.verb.c_str(), target.path.c_str(), "HTTP/1.1", nullptr, nullptr,
          RequestFlags(request, target.secure, options.streamed), uintptr_t{0})),
      stop);
  if (!handle) {
    hop.failure = Stopped(stop) ? FetchFailure::kOther : LastCallFailure();
    return hop;
  }
  hop.failure = Send(handle, request, options.withCookies);
  hop.rawHeaders = ReadHeaders(handle);
  if (hop.failure || Stopped(stop)) return hop;
  hop.status = ResponseStatus(hop.rawHeaders);
  if (!hop.status) return hop;
  if (options.follow && IsRedirect(*hop.status)) {
    const std::string_view location = ResponseHeader(hop.rawHeaders, "Location");
    if (!location.empty()) {
      hop.next = ResolveLocation(request.address, location);
      return hop;
    }
  }
  if (!sink.Begin(hop.rawHeaders.view())) {
    hop.bodyEnd = BodyEnd::kRefused;
    return hop;
  }
  hop.bodyEnd = ReadBody(handle, stop, options.chunkSize, sink, hop.failure);
  return hop;
}

// The request for the redirect's target: a POST turns into a GET without a body
// except after 307 and 308, as browsers do.
void Redirect(ExchangeRequest& request, const WebAddress& next, int32_t status) {
  request.address = TextValue::FromBytes(next.RequestAddress());
  if (request.verb.view() == "POST" && status != 307 && status != 308) {
    request.verb = TextValue::Literal("GET");
    request.postBody = ByteBlock();
  }
}

ExchangeRequest Copy(const ExchangeRequest& r) {
  return {r.address.Copy(),  r.verb.Copy(),    r.proxy.Copy(),   r.extraHeaders.Copy(),
          r.postBody.Copy(), r.cookies.Copy(), r.followRedirects};
}

// How the redirects of one request went.
struct Chain {
  Hop last;              // the final response (or the failure that ended the chain)
  TextValue cookies;     // the received cookie text of the final response
  bool refused = false;  // a redirect not followed: too many, or to where it may not go
  AddressFault fault = AddressFault::kNone;  // why, when its target does not parse
};

// Performs `original` and every redirect after it (kMaxRedirects at most); each
// response's cookies are stored under the host that sent them.
Chain FollowChain(const ExchangeRequest& original, bool follow, HopOptions options,
                  ExchangeStop* stop, BodyStream& sink) {
  Chain chain;
  // The request as it goes from redirect to redirect.
  ExchangeRequest request = Copy(original);
  InternetHandle internet = OpenInternet(request);
  if (!internet) {
    chain.last.failure = LastCallFailure();
    return chain;
  }
  const TextValue firstHost = UrlHost(request.address);
  options.follow = follow;
  for (int32_t redirects = 0;; ++redirects) {
    // The caller's cookie text goes to the host it was given for, and no other.
    const TextValue host = UrlHost(request.address);
    options.withCookies = host.view() == firstHost.view();
    chain.last = Perform(internet, request, options, stop, sink);
    if (Stopped(stop) || !chain.last.status) return chain;
    chain.cookies = CollectCookies(chain.last.rawHeaders, host, IsSecureAddress(request.address));
    const std::optional<ParsedAddress>& next = chain.last.next;
    if (!next) return chain;
    // Not to an address that would not be fetched, not from https down to http,
    // and not for ever.
    if (redirects == kMaxRedirects || !*next ||
        (IsSecureAddress(request.address) && !next->address.secure)) {
      chain.refused = true;
      chain.fault = next->fault;
      return chain;
    }
    Redirect(request, next->address, *chain.last.status);
  }
}

// What a chain that ended with an answer (or without) tells the caller.
FetchOutcome OutcomeOf(const Chain& chain) {
  const Hop& last = chain.last;
  // No answer with a status line: why the call failed, or kOther for a
  // response that is no HTTP.
  if (!last.status) return {last.failure.value_or(FetchFailure::kOther), 0};
  if (chain.refused && chain.fault != AddressFault::kNone)
    return {FetchFailure::kBadAddress, *last.status, chain.fault};
  if (chain.refused) return {FetchFailure::kOther, *last.status};
  FetchOutcome outcome = OutcomeOfStatus(*last.status);
  // A body cut off by a failed read.
  if (outcome.failure == FetchFailure::kNone && last.failure) outcome.failure = *last.failure;
  return outcome;
}

// Every request's address is parsed as a browser parses it before the request
// is made, and sent as the parser writes it. False, with the reason in
// `outcome`, when it does not parse.
bool ParseRequestAddress(ExchangeRequest& request, FetchOutcome& outcome) {
  const ParsedAddress parsed = ParseFetchAddress(request.address);
  if (!parsed) {
    outcome = {FetchFailure::kBadAddress, 0, parsed.fault};
    return false;
  }
  request.address = TextValue::FromBytes(parsed.address.RequestAddress());
  return true;
}

ExchangeEnd Write(int32_t file, const ExchangeRequest& request, const ExchangeReply& reply,
                  ExchangeEnd end, FetchOutcome& outcome) {
  if (WriteExchangeReply(file, request, reply)) return end;
  // Never leave the request where the reply belongs.
  WriteEmptyExchangeRecord(file);
  outcome = {FetchFailure::kOther, 0};
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

ExchangeEnd HttpExchange(int32_t file, ExchangeStop* stop, FetchOutcome* outcome, ByteBlock* body,
                         const ExpectedBody* expected) {
  FetchOutcome ignored;
  FetchOutcome& result = outcome ? *outcome : ignored;
  result = {FetchFailure::kOther, 0};
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
  if (!ParseRequestAddress(*original, result) || !RequestTextsAreSafe(*original))
    return Write(file, *original, reply, ExchangeEnd::kRefused, result);
  // An https request follows redirects whatever the caller asked for.
  const bool follow = original->followRedirects || IsSecureAddress(original->address);
  HeldBody held(expected ? std::optional<std::string_view>(expected->text) : std::nullopt);
  Chain chain = FollowChain(*original, follow, {}, stop, held);
  if (Stopped(stop)) return ExchangeEnd::kStopped;
  result = OutcomeOf(chain);
  if (held.tooLarge) {
    result.failure = FetchFailure::kTooLarge;
    return Write(file, *original, reply, ExchangeEnd::kTooLarge, result);
  }
  if (chain.refused) return Write(file, *original, reply, ExchangeEnd::kAnswered, result);
  // No response, or none with a status line: nothing from it is used but the
  // header text WinINet gives.
  reply.rawHeaders = std::move(chain.last.rawHeaders);
  if (!chain.last.status) return Write(file, *original, reply, ExchangeEnd::kAnswered, result);
  const bool same = held.Same();
  if (expected && expected->same) *expected->same = same;
  if (body)
    *body = held.body.Take();
  else
    reply.body = held.body.Take();
  reply.receivedCookies = std::move(chain.cookies);
  return Write(file, *original, reply, ExchangeEnd::kAnswered, result);
}

FetchOutcome StreamExchange(const ExchangeRequest& request, BodyStream& stream,
                            ExchangeStop* stop) {
  ExchangeRequest parsed = Copy(request);
  FetchOutcome refused{FetchFailure::kOther, 0};
  if (!ParseRequestAddress(parsed, refused) || !RequestTextsAreSafe(parsed)) return refused;
  const Chain chain =
      FollowChain(parsed, true, {.streamed = true, .chunkSize = kStreamChunk}, stop, stream);
  FetchOutcome outcome = OutcomeOf(chain);
  // Told to stop, or the stream would take no more.
  if (chain.last.bodyEnd != BodyEnd::kComplete && outcome.failure == FetchFailure::kNone)
    outcome.failure = FetchFailure::kOther;
  return outcome;
}

}  // namespace tobrine
