// WinINet on libcurl: one easy handle per request, run by the process's one
// transfer engine (curl_engine.h), so that requests share connections, TLS
// sessions and HTTP/2 connections (or, for a plain-http server that closes its
// connections, by the calling thread itself), and the body streams through
// InternetReadFile instead of being held whole. One process-wide cookie store
// serves every request that does not switch cookies off and takes what
// InternetSetCookieA stores (and nothing else: curl's own cookie engine is off).
//
// Handles are numbers in a table, as WinINet's are: any thread may close one
// while another is blocked in a call on it, and that call then returns (with
// ERROR_INTERNET_OPERATION_CANCELLED); a closed number is simply invalid.
#include <curl/curl.h>
#include <libpsl.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "base/cookie_attributes.h"
#include "base/id_table.h"
#include "base/lines.h"
#include "platform/posix/curl_engine.h"
#include "platform/posix/standins.h"

namespace tobrine::posix {
namespace {

// Above this much unread body the transfer pauses until the reader catches up.
constexpr std::size_t kPauseAbove = 1 << 20;
// What one read from the socket may take: a large page then costs a few
// hundred reads instead of thousands (a system call is dear on some virtual
// machines). curl's own default is 16 KiB.
constexpr long kReceiveBufferBytes = 256 << 10;
// Response headers beyond this fail the request (a header flood).
constexpr std::size_t kMaxResponseHeaders = 1 << 20;
constexpr Dword kErrorInternetOperationCancelled = 12017;

void GlobalInit() {
  static const bool done = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
  (void)done;
}

struct Cookie {
  std::string domain;  // lower case, without a leading dot
  bool subdomains = false;
  std::string path;
  bool secure = false;
  long long expires = 0;  // 0: for the session
  std::string name, value;
};

bool HostMatches(const Cookie& c, std::string_view host) {
  return c.subdomains ? base::CookieDomainCovers(c.domain, host)
                      : base::EqualsIgnoringAsciiCase(host, c.domain);
}

// The process-wide cookie store. Cookies come in through InternetSetCookieA
// only, and go out in the Cookie line of requests that do not switch cookies
// off: to their host (and below it, for a domain cookie), on their path, over
// https only when Secure, and not once expired.
class CookieJar {
 public:
  void Set(Cookie cookie) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(cookies_, [&](const Cookie& c) {
      return c.name == cookie.name && c.domain == cookie.domain && c.path == cookie.path;
    });
    if (cookie.expires == 0 || cookie.expires > static_cast<long long>(time(nullptr)))
      cookies_.push_back(std::move(cookie));
  }

  // "name=value; name=value" for a request, empty when none goes there.
  std::string LineFor(std::string_view host, std::string_view path, bool secure) {
    std::lock_guard<std::mutex> lock(mutex_);
    const long long now = static_cast<long long>(time(nullptr));
    std::string line;
    for (const Cookie& c : cookies_) {
      if ((c.expires != 0 && c.expires <= now) || (c.secure && !secure) || !HostMatches(c, host) ||
          path.substr(0, c.path.size()) != c.path)
        continue;
      if (!line.empty()) line += "; ";
      line += c.name + "=" + c.value;
    }
    return line;
  }

 private:
  std::mutex mutex_;
  std::vector<Cookie> cookies_;
};

CookieJar& Cookies() {
  static auto* jar = new CookieJar();  // never destroyed: workers may outlive exit
  return *jar;
}

// --- Handles ---

enum class Kind : uint32_t {
  kInternet = 0x494E4554,
  kConnection = 0x434F4E4E,
  kRequest = 0x52455155
};

struct HandleBase {
  explicit HandleBase(Kind k) : kind(k) {}
  virtual ~HandleBase() = default;
  const Kind kind;
  std::atomic<bool> closed{false};
};

// Which proxy serves which requests; an empty one: none. `noProxy` is curl's
// list of hosts reached directly.
struct Proxies {
  std::string http, https, noProxy;
};

struct InternetHandle : HandleBase {
  InternetHandle() : HandleBase(Kind::kInternet) {}
  std::string agent;
  Proxies proxies;
};

struct ConnectionHandle : HandleBase {
  ConnectionHandle() : HandleBase(Kind::kConnection) {}
  std::string agent, host;
  Proxies proxies;
  uint16_t port = 0;
};

// A request and its transfer. The calling thread sets the request up and
// hands it to the engine (curl_engine.h), whose thread runs the transfer and
// fills in the response under `mutex`; the calls on the handle wait on
// `changed` for what they need, and a close from another thread wakes them.
struct RequestHandle : HandleBase, CurlTransfer {
  RequestHandle() : HandleBase(Kind::kRequest) {}
  ~RequestHandle() override {
    if (own.easy) {
      curl_multi_remove_handle(own.multi, own.easy);
      GiveOwnHandles(own);
    }
    curl_slist_free_all(headerList);
  }

  void Configure(CURL* e, bool http2, bool waitForMultiplexing) override;
  std::string Origin() const override { return origin; }
  bool OnHttp2() const override { return onHttp2; }
  bool Answered() const override { return answered; }
  // Told with the lock let go (what changed was written under it), so that the
  // woken caller does not wait for the lock in turn.
  void Wake() override {
    if (news.exchange(false)) changed.notify_all();
  }
  void Ended(CURLcode code, long verify) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      easy = nullptr;
      done = true;
      if (code != CURLE_OK) {
        failed = true;
        result = code;
        verifyResult = verify;
      }
    }
    changed.notify_all();
  }

  // Set up by the calling thread before the transfer starts, read-only after.
  ConnectionHandle connection{};  // a copy: the caller may close its parent first
  std::string verb, object;
  Dword flags = 0;
  std::atomic<bool> sent{false};  // read by a close on another thread
  std::string url, origin, proxy, caFile;
  curl_slist* headerList = nullptr;
  std::string postBody;
  // Run by the calling thread on handles of its own (a server that closes its
  // connections), not by the engine.
  OwnHandles own;
  std::atomic<bool> driving{false};  // the calling thread runs it now (a close must wake it)

  // The engine thread's own.
  CURL* easy = nullptr;
  bool onHttp2 = false;         // the connection of the current attempt chose HTTP/2
  bool answered = false;        // any of the response has arrived
  std::string responseHeaders;  // of the response being received

  std::atomic<bool> news{false};  // arrived since the caller was last woken

  // The response, under `mutex`.
  mutable std::mutex mutex;
  std::condition_variable changed;
  bool headersFinal = false;
  bool done = false;
  bool failed = false;
  CURLcode result = CURLE_OK;  // why the transfer failed
  long verifyResult = 0;       // the certificate check's own code, when it failed
  bool paused = false;
  std::string finalHeaders;  // of the final response
  std::string body;          // received, not yet read
  std::size_t bodyRead = 0;
};

using HandleTable = base::IdTable<uintptr_t, HandleBase>;

// Numbers as WinINet's look: never 0, a multiple of 4. A call holds its
// handle's object for as long as it runs, so a close from another thread never
// frees it under the call.
HandleTable& Handles() {
  // Never destroyed: workers may outlive exit.
  static auto* table = new HandleTable(0x1000, 4, UINTPTR_MAX);
  return *table;
}

Hinternet AddHandle(std::shared_ptr<HandleBase> object) {
  return reinterpret_cast<Hinternet>(Handles().Add(std::move(object)));
}

// The plain-http servers (by proxy and origin) whose last answer closed its
// connection. A shared pool gains nothing there, so their requests are run by
// the calling thread itself, sparing two hand-overs between threads each.
class ClosingServers {
 public:
  bool Has(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_.count(key) != 0;
  }
  void Note(const std::string& key, bool closes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closes)
      keys_.insert(key);
    else
      keys_.erase(key);
  }

 private:
  std::mutex mutex_;
  std::unordered_set<std::string> keys_;
};

ClosingServers& Closing() {
  static auto* servers = new ClosingServers();  // never destroyed: workers may outlive exit
  return *servers;
}

// Whether a final response's headers close its connection: HTTP/1.1 with
// "Connection: close", HTTP/1.0 without "Connection: keep-alive".
bool ClosesConnection(std::string_view headers) {
  const bool http10 = headers.substr(0, 9) == "HTTP/1.0 ";
  if (!http10 && headers.substr(0, 9) != "HTTP/1.1 ") return false;
  bool closes = http10;
  base::ForEachLine(headers, [&](std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos ||
        !base::EqualsIgnoringAsciiCase(base::TrimBlanks(line.substr(0, colon)), "Connection"))
      return;
    const std::string_view value = base::TrimBlanks(line.substr(colon + 1));
    if (base::EqualsIgnoringAsciiCase(value, "close")) closes = true;
    if (base::EqualsIgnoringAsciiCase(value, "keep-alive")) closes = false;
  });
  return closes;
}

bool IsSecure(const RequestHandle* r) {
  return (r->flags & winapi::kInternetFlagSecure) != 0;
}

std::string ServerKey(const RequestHandle* r) {
  return r->proxy + " " + r->origin;
}

template <typename T>
std::shared_ptr<T> As(Hinternet handle, Kind kind) {
  std::shared_ptr<HandleBase> base = Handles().Find(reinterpret_cast<uintptr_t>(handle));
  if (!base || base->kind != kind) return nullptr;
  return std::static_pointer_cast<T>(base);
}

// Which status codes curl follows when following is on.
bool IsFollowedRedirect(long code) {
  return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

// The callbacks run on the engine's thread.
size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<RequestHandle*>(user);
  std::string_view line(data, size * count);
  r->answered = true;
  if (line.substr(0, 5) == "HTTP/") r->responseHeaders.clear();
  if (r->responseHeaders.size() + line.size() > kMaxResponseHeaders) return 0;  // fails it
  r->responseHeaders.append(line);
  if (line == "\r\n" || line == "\n") {
    long code = 0;
    curl_easy_getinfo(r->easy, CURLINFO_RESPONSE_CODE, &code);
    bool following = !(r->flags & winapi::kInternetFlagNoAutoRedirect);
    bool hasLocation = false;
    base::ForEachLine(r->responseHeaders, [&](std::string_view l) {
      if (l.size() >= 9 && base::EqualsIgnoringAsciiCase(l.substr(0, 9), "location:"))
        hasLocation = true;
    });
    if (code / 100 != 1 && !(following && IsFollowedRedirect(code) && hasLocation)) {
      if (!IsSecure(r)) Closing().Note(ServerKey(r), ClosesConnection(r->responseHeaders));
      std::lock_guard<std::mutex> lock(r->mutex);
      r->finalHeaders = r->responseHeaders;
      r->headersFinal = true;
      r->news = true;
    }
  }
  return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<RequestHandle*>(user);
  r->answered = true;
  std::lock_guard<std::mutex> lock(r->mutex);
  if (r->body.size() - r->bodyRead > kPauseAbove) {
    r->paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (r->bodyRead > 0 && r->bodyRead >= r->body.size() / 2) {
    r->body.erase(0, r->bodyRead);
    r->bodyRead = 0;
  }
  r->body.append(data, size * count);
  r->news = true;
  return size * count;
}

// Once the connection is there (new or kept): whether it speaks HTTP/2, as
// the TLS handshake chose.
int OnConnected(void* user, char* /*primaryIp*/, char* /*localIp*/, int /*primaryPort*/,
                int /*localPort*/) {
  auto* r = static_cast<RequestHandle*>(user);
  curl_tlssessioninfo* tls = nullptr;
  r->onHttp2 = false;
  if (curl_easy_getinfo(r->easy, CURLINFO_TLS_SSL_PTR, &tls) == CURLE_OK && tls &&
      tls->backend == CURLSSLBACKEND_OPENSSL && tls->internals) {
    const unsigned char* protocol = nullptr;
    unsigned int length = 0;
    SSL_get0_alpn_selected(static_cast<SSL*>(tls->internals), &protocol, &length);
    r->onHttp2 = length == 2 && std::memcmp(protocol, "h2", 2) == 0;
  }
  return CURL_PREREQFUNC_OK;
}

// Waits until `ready()` holds, the transfer has ended or the handle is closed:
// for the engine's news, or running a transfer of the thread's own meanwhile.
template <typename Ready>
void WaitFor(RequestHandle* r, std::unique_lock<std::mutex>& lock, Ready ready) {
  auto over = [&] { return r->closed.load() || r->done || ready(); };
  if (!r->own.multi) return r->changed.wait(lock, over);
  // Told before the closed flag is looked at: a close either comes after and
  // wakes the poll below, or came before and is seen.
  r->driving.store(true);
  while (!over()) {
    lock.unlock();
    int running = 0;
    bool ended = curl_multi_perform(r->own.multi, &running) != CURLM_OK;
    CURLcode result = ended ? CURLE_FAILED_INIT : CURLE_OK;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(r->own.multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      ended = true;
      result = message->data.result;
    }
    if (ended) {
      long verifyResult = 0;
      if (result != CURLE_OK)
        curl_easy_getinfo(r->own.easy, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
      r->Ended(result, verifyResult);
    }
    lock.lock();
    if (over()) break;
    lock.unlock();
    curl_multi_poll(r->own.multi, nullptr, 0, 1000, nullptr);
    lock.lock();
  }
  r->driving.store(false);
}

// The WinINet error code of a failed transfer, as WinINet sets it for the same
// failure.
Dword InternetErrorOf(const RequestHandle* r) {
  // The certificate check's codes (X509_V_ERR_...) that WinINet tells apart.
  constexpr long kCertNotYetValid = 9, kCertExpired = 10, kCertRevoked = 23, kHostnameMismatch = 62,
                 kIpAddressMismatch = 64;
  switch (r->result) {
    case CURLE_OPERATION_TIMEDOUT:
      return kErrorInternetTimeout;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kErrorInternetNameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return kErrorInternetCannotConnect;
    case CURLE_URL_MALFORMAT:
      return kErrorInternetInvalidUrl;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return kErrorInternetConnectionReset;
    case CURLE_PARTIAL_FILE:
      return kErrorInternetConnectionAborted;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:  // a status line that is no HTTP's
      return kErrorHttpInvalidServerResponse;
    case CURLE_PEER_FAILED_VERIFICATION:
      switch (r->verifyResult) {
        case kCertNotYetValid:
        case kCertExpired:
          return kErrorInternetSecCertDateInvalid;
        case kCertRevoked:
          return kErrorInternetSecCertRevoked;
        case kHostnameMismatch:
        case kIpAddressMismatch:
        case 0:  // the chain was good: the name did not match
          return kErrorInternetSecCertCnInvalid;
        default:
          return kErrorInternetInvalidCa;
      }
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CACERT_BADFILE:
      return kErrorInternetSecurityChannelError;
    default:
      return kErrorInternetCannotConnect;
  }
}

// The status of the final response, from its status line; 0 when there is none.
Dword FinalStatus(const RequestHandle* r) {
  std::string_view line = r->finalHeaders;
  line = line.substr(0, line.find('\r'));
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) return 0;
  Dword status = 0;
  for (char c : line.substr(space + 1, 3)) {
    if (c < '0' || c > '9') return 0;
    status = status * 10 + static_cast<Dword>(c - '0');
  }
  return status;
}

// Copies `text` and its NUL into the caller's buffer, or tells the size needed,
// as WinINet does.
Bool CopyOut(std::string_view text, void* buffer, Dword* bufferLength) {
  if (!buffer || *bufferLength < text.size() + 1) {
    *bufferLength = static_cast<Dword>(text.size() + 1);
    SetLastError(winapi::kErrorInsufficientBuffer);
    return 0;
  }
  std::memcpy(buffer, text.data(), text.size());
  static_cast<char*>(buffer)[text.size()] = '\0';
  *bufferLength = static_cast<Dword>(text.size());
  return 1;
}

// Whether the block has a line for the header `name` (any letter case).
bool HasHeader(std::string_view block, std::string_view name) {
  bool found = false;
  base::ForEachLine(block, [&](std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos &&
        base::EqualsIgnoringAsciiCase(base::TrimBlanks(line.substr(0, colon)), name))
      found = true;
  });
  return found;
}

// Adds the caller's header lines in order; blank lines (the block may hold one
// after a cookie line) and lines without a colon are left out.
void AddHeaderLines(RequestHandle* r, std::string_view block) {
  base::ForEachLine(block, [r](std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // an unterminated last line
    const std::size_t colon = line.find(':');
    if (base::TrimBlanks(line).empty() || colon == std::string_view::npos) return;
    std::string header(line);
    // curl drops a header whose value is empty unless it is written "Name;".
    if (base::TrimBlanks(line.substr(colon + 1)).empty())
      header = std::string(base::TrimBlanks(line.substr(0, colon))) + ";";
    r->headerList = curl_slist_append(r->headerList, header.c_str());
  });
}

// Parses "http=host:port", "host:port" or a list of such, separated by spaces
// or semicolons: a proxy for http:// requests, or one for every request.
Proxies ParseProxy(std::string_view args) {
  Proxies proxies;
  std::size_t p = 0;
  while (p < args.size()) {
    std::size_t e = args.find_first_of(" ;", p);
    std::string_view item = args.substr(p, e == std::string_view::npos ? args.npos : e - p);
    p = e == std::string_view::npos ? args.size() : e + 1;
    if (item.empty()) continue;
    std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      proxies.http = proxies.https = std::string(item);
    } else if (base::EqualsIgnoringAsciiCase(item.substr(0, eq), "http")) {
      proxies.http = std::string(item.substr(eq + 1));
    }
  }
  return proxies;
}

// The first of the variables that is set (an empty one counts: it names no
// proxy), if any.
const char* FirstSet(std::initializer_list<const char*> names) {
  for (const char* name : names)
    if (const char* value = std::getenv(name)) return value;
  return nullptr;
}

// The proxies the environment names, read as curl reads them: the scheme's
// own variable (http_proxy in lower case only), else all_proxy; no_proxy lists
// the hosts reached directly. Read when the Internet handle is opened, as
// WinINet reads the system's settings then.
Proxies ProxiesFromEnvironment() {
  const char* all = FirstSet({"all_proxy", "ALL_PROXY"});
  const char* http = FirstSet({"http_proxy"});
  const char* https = FirstSet({"https_proxy", "HTTPS_PROXY"});
  const char* noProxy = FirstSet({"no_proxy", "NO_PROXY"});
  Proxies proxies;
  proxies.http = http ? http : all ? all : "";
  proxies.https = https ? https : all ? all : "";
  proxies.noProxy = noProxy ? noProxy : "";
  return proxies;
}

// Where the request goes and through which proxy.
void SetTarget(RequestHandle* r) {
  const bool secure = IsSecure(r);
  std::string host = r->connection.host;
  // An IPv6 literal, given with its brackets or without.
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  const uint16_t port = r->connection.port ? r->connection.port : (secure ? 443 : 80);
  r->origin = (secure ? "https://" : "http://") + host + ":" + std::to_string(port);
  r->url = r->origin + r->object;
  r->proxy = secure ? r->connection.proxies.https : r->connection.proxies.http;
  if (const char* caFile = std::getenv("SSL_CERT_FILE"); caFile && *caFile) r->caFile = caFile;
}

void SetVerb(const RequestHandle* r, CURL* e) {
  if (r->verb == "GET") {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  } else if (r->verb == "POST") {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r->postBody.size()));
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, r->postBody.data());
  } else if (r->verb == "HEAD") {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r->verb.c_str());
  }
}

// The request on the engine's handle: the target, the proxy, the HTTP version,
// cookies and redirects as the flags say.
void RequestHandle::Configure(CURL* e, bool http2, bool waitForMultiplexing) {
  easy = e;
  onHttp2 = false;
  const bool secure = IsSecure(this);
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L);
  // HTTP/2 where the TLS handshake offers it; plain http stays HTTP/1.1.
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION,
                   secure && http2 ? CURL_HTTP_VERSION_2TLS : CURL_HTTP_VERSION_1_1);
  if (waitForMultiplexing) curl_easy_setopt(e, CURLOPT_PIPEWAIT, 1L);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, OnConnected);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, this);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, 60L);
  if (!caFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, caFile.c_str());

  // Both given, so that curl looks at no variable of the environment itself:
  // an empty proxy is none.
  curl_easy_setopt(e, CURLOPT_PROXY, proxy.c_str());
  curl_easy_setopt(e, CURLOPT_NOPROXY, connection.proxies.noProxy.c_str());

  if (!(flags & winapi::kInternetFlagNoAutoRedirect)) {
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 30L);
    // A redirect from http to https is followed only when the request allows it;
    // a secure request is never redirected to plain http.
    const char* protocols = secure                                                 ? "https"
                            : (flags & winapi::kInternetFlagIgnoreRedirectToHttps) ? "http,https"
                                                                                   : "http";
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
  }
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headerList);
  SetVerb(this, e);
}

// The lines go out as WinINet sends them: Host, Content-Length (POST, unless
// the caller gives one), the agent unless the caller names one, then the
// caller's lines as given, and nothing of curl's own.
void SetRequestLines(RequestHandle* r, std::string_view block) {
  if (r->verb == "POST" && !HasHeader(block, "Content-Length")) {
    std::string length = "Content-Length: " + std::to_string(r->postBody.size());
    r->headerList = curl_slist_append(r->headerList, length.c_str());
  }
  if (!HasHeader(block, "User-Agent") && !r->connection.agent.empty()) {
    std::string agentLine = "User-Agent: " + r->connection.agent;
    r->headerList = curl_slist_append(r->headerList, agentLine.c_str());
  }
  if (!(r->flags & winapi::kInternetFlagNoCookies)) {
    const std::string path = r->object.substr(0, r->object.find('?'));
    const std::string cookies = Cookies().LineFor(r->connection.host, path, IsSecure(r));
    if (!cookies.empty())
      r->headerList = curl_slist_append(r->headerList, ("Cookie: " + cookies).c_str());
  }
  AddHeaderLines(r, block);
  for (const char* drop : {"Accept:", "Expect:", "Proxy-Connection:", "Content-Type:"}) {
    if (!HasHeader(block, std::string_view(drop, std::strlen(drop) - 1)))
      r->headerList = curl_slist_append(r->headerList, drop);
  }
}

}  // namespace

// Preconfigured access takes the proxies the environment names; a given proxy
// list serves as WinINet's does; direct access uses none.
Hinternet InternetOpenA(const char* agent, Dword accessType, const char* proxy,
                        const char* /*proxyBypass*/, Dword /*flags*/) {
  GlobalInit();
  auto h = std::make_shared<InternetHandle>();
  h->agent = agent ? agent : "";
  if (accessType == winapi::kInternetOpenTypePreconfig) h->proxies = ProxiesFromEnvironment();
  if (accessType == winapi::kInternetOpenTypeProxy && proxy) h->proxies = ParseProxy(proxy);
  return AddHandle(std::move(h));
}

Hinternet InternetConnectA(Hinternet internet, const char* server, uint16_t port,
                           const char* /*user*/, const char* /*password*/, Dword service,
                           Dword /*flags*/, uintptr_t /*context*/) {
  auto h = As<InternetHandle>(internet, Kind::kInternet);
  if (!h || service != winapi::kInternetServiceHttp || !server || !*server) {
    SetLastError(h ? kErrorInternetInvalidUrl : kErrorInvalidHandle);
    return nullptr;
  }
  auto c = std::make_shared<ConnectionHandle>();
  c->agent = h->agent;
  c->proxies = h->proxies;
  c->host = server;
  c->port = port;
  return AddHandle(std::move(c));
}

Hinternet HttpOpenRequestA(Hinternet connection, const char* verb, const char* object,
                           const char* /*version*/, const char* /*referrer*/,
                           const char** /*acceptTypes*/, Dword flags, uintptr_t /*context*/) {
  auto c = As<ConnectionHandle>(connection, Kind::kConnection);
  if (!c) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  auto r = std::make_shared<RequestHandle>();
  r->connection.agent = c->agent;
  r->connection.proxies = c->proxies;
  r->connection.host = c->host;
  r->connection.port = c->port;
  r->verb = verb && *verb ? verb : "GET";
  r->object = object && *object ? object : "/";
  if (r->object[0] != '/') r->object.insert(0, "/");
  r->flags = flags;
  return AddHandle(std::move(r));
}

Bool HttpSendRequestA(Hinternet request, const char* headers, Dword headersLength, void* optional,
                      Dword optionalLength) {
  auto r = As<RequestHandle>(request, Kind::kRequest);
  if (!r || r->sent) {
    SetLastError(r ? kErrorInternetIncorrectHandleState : kErrorInvalidHandle);
    return 0;
  }
  r->sent.store(true);
  SetTarget(r.get());
  std::string_view block;
  if (headers) {
    block = headersLength == 0xFFFFFFFFu ? std::string_view(headers)
                                         : std::string_view(headers, headersLength);
  }
  if (r->verb == "POST" && optional && optionalLength)
    r->postBody.assign(static_cast<char*>(optional), optionalLength);
  SetRequestLines(r.get(), block);

  if (!IsSecure(r.get()) && Closing().Has(ServerKey(r.get()))) {
    r->own = TakeOwnHandles();
    if (!r->own.easy) {
      SetLastError(kErrorNotEnoughMemory);
      return 0;
    }
    r->Configure(r->own.easy, false, false);
    curl_multi_add_handle(r->own.multi, r->own.easy);
  } else {
    if (!StartTransfer(r)) {
      SetLastError(kErrorInternetOperationCancelled);  // the process is ending
      return 0;
    }
    // A close that came before the transfer was handed over took nothing out.
    if (r->closed.load()) CancelTransfer(r);
  }
  std::unique_lock<std::mutex> lock(r->mutex);
  WaitFor(r.get(), lock, [&r] { return r->headersFinal; });
  if (!r->headersFinal) {
    SetLastError(r->closed.load() ? kErrorInternetOperationCancelled : InternetErrorOf(r.get()));
    return 0;
  }
  return 1;
}

Bool InternetReadFile(Hinternet file, void* buffer, Dword bytesToRead, Dword* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  auto r = As<RequestHandle>(file, Kind::kRequest);
  if (!r || !buffer || !bytesRead) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  std::unique_lock<std::mutex> lock(r->mutex);
  if (!r->sent || !r->headersFinal) {
    SetLastError(kErrorInternetIncorrectHandleState);
    return 0;
  }
  WaitFor(r.get(), lock, [&r] { return r->bodyRead < r->body.size(); });
  std::size_t n = std::min<std::size_t>(bytesToRead, r->body.size() - r->bodyRead);
  // A body shorter than its announced length reads as one that has ended, as
  // WinINet reads it; other failures fail the read.
  if (n == 0 && (r->closed.load() || (r->failed && r->result != CURLE_PARTIAL_FILE))) {
    SetLastError(r->closed.load() ? kErrorInternetOperationCancelled : InternetErrorOf(r.get()));
    return 0;
  }
  std::memcpy(buffer, r->body.data() + r->bodyRead, n);
  r->bodyRead += n;
  *bytesRead = static_cast<Dword>(n);
  // A paused transfer goes on once half of what it held back has been read, so
  // that the next part arrives while the rest is read.
  const bool resume = r->paused && r->body.size() - r->bodyRead <= kPauseAbove / 2;
  if (resume) r->paused = false;
  lock.unlock();
  if (resume && r->own.easy)
    curl_easy_pause(r->own.easy, CURLPAUSE_CONT);
  else if (resume)
    ResumeTransfer(r);
  return 1;
}

Bool HttpQueryInfoA(Hinternet request, Dword infoLevel, void* buffer, Dword* bufferLength,
                    Dword* /*index*/) {
  auto r = As<RequestHandle>(request, Kind::kRequest);
  if (!r || !bufferLength) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  std::lock_guard<std::mutex> lock(r->mutex);
  if (!r->headersFinal) {
    SetLastError(kErrorInternetIncorrectHandleState);
    return 0;
  }
  if (infoLevel == winapi::kHttpQueryRawHeadersCrlf)
    return CopyOut(r->finalHeaders, buffer, bufferLength);
  if (infoLevel == (winapi::kHttpQueryStatusCode | winapi::kHttpQueryFlagNumber)) {
    if (!buffer || *bufferLength < sizeof(Dword)) {
      *bufferLength = sizeof(Dword);
      SetLastError(winapi::kErrorInsufficientBuffer);
      return 0;
    }
    const Dword status = FinalStatus(r.get());
    std::memcpy(buffer, &status, sizeof status);
    *bufferLength = sizeof status;
    return 1;
  }
  if (infoLevel == winapi::kHttpQueryStatusCode)
    return CopyOut(std::to_string(FinalStatus(r.get())), buffer, bufferLength);
  SetLastError(kErrorHttpHeaderNotFound);
  return 0;
}

// May be called from any thread, also while another is blocked in a call on the
// handle: that call returns, the transfer is taken out (its connection is not
// kept when the response was not read to its end), and the object goes when the
// last user lets go.
Bool InternetCloseHandle(Hinternet handle) {
  std::shared_ptr<HandleBase> base = Handles().Remove(reinterpret_cast<uintptr_t>(handle));
  if (!base) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  base->closed.store(true);
  if (base->kind == Kind::kRequest) {
    auto r = std::static_pointer_cast<RequestHandle>(base);
    bool going = false;
    {
      std::lock_guard<std::mutex> lock(r->mutex);
      r->changed.notify_all();
      going = !r->done;
    }
    // `driving` is set after the handles of the thread's own are: seen set, it
    // tells that they are there. (A transfer of the thread's own is not the
    // engine's to take out: it ends at the next look at the closed flag.)
    if (r->driving.load())
      curl_multi_wakeup(r->own.multi);
    else if (r->sent && going)
      CancelTransfer(r);
  }
  return 1;
}

// Whether a cookie from `host` may name `domain` (lower case, no leading dot),
// and whether it then goes to that host only: an IP address takes host-only
// cookies, and the public-suffix list decides which domains are too wide (a
// public suffix is taken only by that host itself, for itself alone).
bool DomainAccepted(std::string_view host, std::string_view domain, bool& hostOnly) {
  hostOnly = true;
  if (base::IsIpAddressHost(host)) return domain == host;
  if (!base::CookieDomainCovers(domain, host)) return false;
  static const psl_ctx_t* const psl = [] {
    const psl_ctx_t* latest = psl_latest(nullptr);
    return latest ? latest : psl_builtin();
  }();
  const std::string name(domain);
  if (!psl || psl_is_public_suffix(psl, name.c_str())) return domain == host;
  hostOnly = false;
  return true;
}

// Stores a cookie for the URL's host (any port): path "/" unless the data names
// a path; a Domain the host may not set refuses the cookie; "secure" sends it
// over https only; an expiry date or a Max-Age that has passed removes the
// cookie, one still to come keeps it that long, none makes a session cookie.
Bool InternetSetCookieA(const char* url, const char* cookieName, const char* cookieData) {
  if (!url || !cookieData) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  std::string_view u(url);
  std::size_t scheme = u.find("://");
  std::string_view host;
  if (scheme != std::string_view::npos) {
    const std::string_view rest = u.substr(scheme + 3);
    host = rest.substr(0, rest.find_first_of("/?#"));
    host = !host.empty() && host.front() == '[' ? host.substr(0, host.find(']') + 1)
                                                : host.substr(0, host.find(':'));
  }
  if (host.empty()) {
    SetLastError(kErrorInternetInvalidUrl);
    return 0;
  }
  const base::CookieLine line = base::ParseCookieLine(cookieData);
  Cookie cookie;
  std::string_view value = line.pair;
  if (cookieName && *cookieName) {
    cookie.name = cookieName;
  } else if (const std::size_t eq = value.find('='); eq != std::string_view::npos) {
    cookie.name = std::string(base::TrimBlanks(value.substr(0, eq)));  // "name=value" as data
    value = value.substr(eq + 1);
  }
  cookie.value = std::string(base::TrimBlanks(value));
  cookie.domain = base::AsciiLowered(host);
  if (!line.domain.empty()) {
    const std::string domain = base::AsciiLowered(line.domain);
    bool hostOnly = true;
    if (!DomainAccepted(cookie.domain, domain, hostOnly)) {
      SetLastError(kErrorInvalidParameter);
      return 0;
    }
    cookie.domain = domain;
    cookie.subdomains = !hostOnly;
  }
  cookie.path = line.path.empty() ? "/" : std::string(line.path);
  cookie.secure = line.secure;
  const long long now = static_cast<long long>(time(nullptr));
  if (line.maxAge) {
    cookie.expires = *line.maxAge <= 0 ? 1 : now + *line.maxAge;
  } else if (!line.expires.empty()) {
    const time_t when = curl_getdate(std::string(line.expires).c_str(), nullptr);
    if (when != -1) cookie.expires = when <= now ? 1 : static_cast<long long>(when);
  }
  // An expiry that has passed removes a cookie of that name instead.
  Cookies().Set(std::move(cookie));
  return 1;
}

}  // namespace tobrine::posix
