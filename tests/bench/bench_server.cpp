// The loopback server of `make bench`: generated pages and manifests on
// 127.0.0.1, every answer optionally delayed. On the plain port every
// connection is closed after its answer (the loopback figures: each request
// pays for a connection, the yardsticks' too); with --tls a second port speaks
// TLS (HTTP/1.1 only) and keeps its connections open, as a real server does.
//
// One thread, non-blocking sockets and epoll, so that serving a request costs
// a few system calls and the server does not decide the figures of the
// programs it serves: the figures are meant to measure the clients.
//
// Routes (query parameters as name=value):
//
//   /page?n=N&delay=MS[&base=URL...]
//                           a distribution page with N install links, each to
//                           /m/MS/K.plist (K = 1..N) on this server, or on the
//                           bases given in turn (link K on base (K-1) mod B);
//                           the page itself is answered after MS milliseconds
//                           too
//   /m/MS/K.plist           a manifest whose package link is
//                           http://dl.example.com/K.ipa, after MS milliseconds
//   /big?mb=M               M MiB of markup without a single link (made once)
//   /slow?ms=MS             "slow" after MS milliseconds
//   /__connections          how many connections the TLS port has accepted
//
//     bench_server [--ports-file FILE] [--tls CERT KEY]
//
// Prints {"port": P, "tls": T} on one line when ready (and writes it to FILE;
// T is 0 without --tls); ends when standard input closes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <queue>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "loopback.h"

namespace {

constexpr std::size_t kMaxRequestHead = 1 << 20;

const char kManifest[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
    "<key>items</key><array><dict><key>assets</key><array><dict>"
    "<key>kind</key><string>software-package</string>"
    "<key>url</key><string>http://dl.example.com/%d.ipa</string>"
    "</dict></array></dict></array></dict></plist>\n";
const char kBigLine[] =
    "<div class=\"row\"><span>plain text without any address in it, "
    "repeated line after line</span></div>\n";

long long NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// M MiB of markup, made once per size.
std::shared_ptr<const std::string> BigPage(int mb) {
  static std::map<int, std::shared_ptr<const std::string>> made;
  auto& page = made[mb];
  if (!page) {
    const std::size_t size = static_cast<std::size_t>(mb) << 20;
    auto body = std::make_shared<std::string>("<html><body>\n");
    body->reserve(size + sizeof kBigLine);
    while (body->size() < size) body->append(kBigLine);
    body->resize(size);
    page = body;
  }
  return page;
}

// Link K goes to bases[(K-1) mod B].
std::string Page(int n, int delay, const std::vector<std::string>& bases) {
  std::string out = "<html><body><h1>Apps</h1>\n";
  char row[512];
  for (int k = 1; k <= n; ++k) {
    const std::string& base = bases[static_cast<std::size_t>(k - 1) % bases.size()];
    std::snprintf(row, sizeof row,
                  "<p><a href=\"itms-services://?action=download-manifest&url=%s/m/%d/%d.plist\">"
                  "App %d</a></p>\n",
                  base.c_str(), delay, k, k);
    out += row;
  }
  out += "</body></html>\n";
  return out;
}

// Every value of `name` in a query string, in order.
std::vector<std::string> QueryValues(std::string_view query, std::string_view name) {
  std::vector<std::string> values;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos && pair.substr(0, eq) == name)
      values.emplace_back(pair.substr(eq + 1));
  }
  return values;
}

// The value of `name` in a query string, or `fallback`.
int QueryNumber(std::string_view query, std::string_view name, int fallback) {
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos && pair.substr(0, eq) == name) {
      return std::atoi(std::string(pair.substr(eq + 1)).c_str());
    }
  }
  return fallback;
}

// Leading decimal digits of `text` as a number, taken off it; false if none.
bool TakeNumber(std::string_view* text, int* out) {
  std::size_t i = 0;
  int value = 0;
  while (i < text->size() && (*text)[i] >= '0' && (*text)[i] <= '9' && i < 9) {
    value = value * 10 + ((*text)[i++] - '0');
  }
  if (i == 0) return false;
  *out = value;
  text->remove_prefix(i);
  return true;
}

// /m/MS/K.plist
bool ManifestPath(std::string_view path, int* ms, int* k) {
  if (!path.starts_with("/m/")) return false;
  path.remove_prefix(3);
  if (!TakeNumber(&path, ms) || !path.starts_with("/")) return false;
  path.remove_prefix(1);
  return TakeNumber(&path, k) && path == ".plist";
}

struct Answer {
  std::string head;
  std::shared_ptr<const std::string> body;
};

// The answer to one request; `connections` is what /__connections tells.
Answer Respond(std::string_view path, std::string_view query, int port, bool keepAlive,
               long connections, int* delayMs) {
  const std::string connection = keepAlive ? "" : "Connection: close\r\n";
  auto ok = [&](std::shared_ptr<const std::string> body, const char* kind) {
    return Answer{"HTTP/1.1 200 OK\r\nContent-Type: " + std::string(kind) + "\r\nContent-Length: " +
                      std::to_string(body->size()) + "\r\n" + connection + "\r\n",
                  std::move(body)};
  };
  int delay = QueryNumber(query, "delay", QueryNumber(query, "ms", 0));
  int ms = 0;
  int k = 0;
  if (path == "/page") {
    *delayMs = delay;
    std::vector<std::string> bases = QueryValues(query, "base");
    if (bases.empty()) bases.push_back("http://127.0.0.1:" + std::to_string(port));
    return ok(std::make_shared<std::string>(Page(QueryNumber(query, "n", 1), delay, bases)),
              "text/html");
  }
  if (ManifestPath(path, &ms, &k)) {
    *delayMs = ms;
    char body[sizeof kManifest + 16];
    std::snprintf(body, sizeof body, kManifest, k);
    return ok(std::make_shared<std::string>(body), "application/xml");
  }
  *delayMs = delay;
  if (path == "/big") return ok(BigPage(QueryNumber(query, "mb", 60)), "text/html");
  if (path == "/slow") return ok(std::make_shared<std::string>("slow"), "text/html");
  if (path == "/__connections")
    return ok(std::make_shared<std::string>(std::to_string(connections)), "text/plain");
  return Answer{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n" + connection + "\r\n",
                std::make_shared<std::string>()};
}

struct Connection {
  int fd = -1;
  SSL* tls = nullptr;  // on the TLS port: kept open from answer to answer
  std::string request;
  Answer answer;
  std::size_t sent = 0;  // of head + body
  bool answering = false;
};

// One connection's reads and writes: a positive count, 0 for "not now", or -1
// when the connection is done (closed by the client or failed).
ssize_t Receive(Connection& c, char* buffer, std::size_t size) {
  if (!c.tls) {
    const ssize_t got = recv(c.fd, buffer, size, 0);
    if (got > 0) return got;
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  }
  const int got = SSL_read(c.tls, buffer, static_cast<int>(size));
  if (got > 0) return got;
  const int error = SSL_get_error(c.tls, got);
  return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? 0 : -1;
}

ssize_t SendPart(Connection& c, const std::string& head, const std::string& body) {
  if (!c.tls) {
    if (c.sent < head.size()) {
      // Head and body together in one call where they fit.
      iovec parts[2] = {{const_cast<char*>(head.data()) + c.sent, head.size() - c.sent},
                        {const_cast<char*>(body.data()), body.size()}};
      msghdr message{};
      message.msg_iov = parts;
      message.msg_iovlen = 2;
      const ssize_t put = sendmsg(c.fd, &message, MSG_NOSIGNAL);
      if (put >= 0) return put;
    } else {
      const std::size_t at = c.sent - head.size();
      const ssize_t put = send(c.fd, body.data() + at, body.size() - at, MSG_NOSIGNAL);
      if (put >= 0) return put;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
  const std::string& part = c.sent < head.size() ? head : body;
  const std::size_t at = c.sent < head.size() ? c.sent : c.sent - head.size();
  if (at == part.size()) return 0;  // an empty body
  const int put = SSL_write(c.tls, part.data() + at,
                            static_cast<int>(std::min<std::size_t>(part.size() - at, 1 << 20)));
  if (put > 0) return put;
  const int error = SSL_get_error(c.tls, put);
  return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? 0 : -1;
}

class Server {
 public:
  Server(int listener, int port, int tlsListener, SSL_CTX* tls)
      : listener_(listener), port_(port), tlsListener_(tlsListener), tls_(tls) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    Watch(listener_, EPOLLIN);
    if (tlsListener_ >= 0) Watch(tlsListener_, EPOLLIN);
    Watch(STDIN_FILENO, EPOLLIN);
  }

  // Serves until standard input closes.
  void Run() {
    bench::RunUntilInputCloses(
        epoll_, [this] { return Timeout(); },
        [this](const epoll_event& event) {
          const int fd = event.data.fd;
          if (fd == listener_ || fd == tlsListener_) {
            Accept(fd);
          } else if (auto it = connections_.find(fd); it != connections_.end()) {
            if (it->second.answering) {
              Send(it->second);
            } else {
              Receive(it->second);
            }
          }
        },
        [this] { RunDue(); });
  }

 private:
  void Watch(int fd, uint32_t what) {
    epoll_event e{};
    e.events = what;
    e.data.fd = fd;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e);
  }

  void Rewatch(int fd, uint32_t what) {
    epoll_event e{};
    e.events = what;
    e.data.fd = fd;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &e);
  }

  int Timeout() const {
    if (due_.empty()) return -1;
    return static_cast<int>(std::max(0LL, due_.top().first - NowMs()));
  }

  void Accept(int listener) {
    for (;;) {
      const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      Connection& c = connections_[fd];
      c.fd = fd;
      if (listener == tlsListener_) {
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        c.tls = SSL_new(tls_);
        SSL_set_fd(c.tls, fd);
        SSL_set_accept_state(c.tls);
        ++tlsConnections_;
      }
      Watch(fd, EPOLLIN);
    }
  }

  void Close(Connection& c) {
    if (c.tls) SSL_free(c.tls);
    close(c.fd);  // also leaves the epoll set
    connections_.erase(c.fd);
  }

  void Receive(Connection& c) {
    char buffer[16384];
    for (;;) {
      const ssize_t got = ::Receive(c, buffer, sizeof buffer);
      if (got > 0) {
        c.request.append(buffer, static_cast<std::size_t>(got));
        if (c.request.size() > kMaxRequestHead) return Close(c);
        if (c.request.find("\r\n\r\n") != std::string::npos) return Route(c);
        continue;
      }
      if (got == 0) {
        // TLS may need to write (its handshake) before it reads again.
        Rewatch(c.fd, c.tls && SSL_want_write(c.tls) ? EPOLLIN | EPOLLOUT : EPOLLIN);
        return;
      }
      return Close(c);  // closed or failed before a whole request head
    }
  }

  void Route(Connection& c) {
    const std::size_t end = c.request.find("\r\n\r\n") + 4;
    std::string_view line(c.request.data(), end);
    line = line.substr(0, line.find("\r\n"));
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    std::string_view target = "/";
    if (second != std::string_view::npos) target = line.substr(first + 1, second - first - 1);
    const std::size_t question = target.find('?');
    const std::string_view path = target.substr(0, question);
    const std::string_view query =
        question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
    int delay = 0;
    c.answer = Respond(path, query, port_, c.tls != nullptr, tlsConnections_, &delay);
    c.request.erase(0, end);  // a request sent behind it stays for later
    c.sent = 0;
    c.answering = true;
    Rewatch(c.fd, 0);  // nothing to read meanwhile
    if (delay > 0) {
      due_.push({NowMs() + delay, c.fd});
    } else {
      Send(c);
    }
  }

  void Send(Connection& c) {
    const std::string& head = c.answer.head;
    const std::string& body = *c.answer.body;
    while (c.sent < head.size() + body.size()) {
      const ssize_t put = SendPart(c, head, body);
      if (put > 0) {
        c.sent += static_cast<std::size_t>(put);
        continue;
      }
      if (put == 0) {
        Rewatch(c.fd, c.tls && SSL_want_read(c.tls) ? EPOLLIN : EPOLLOUT);
        return;
      }
      return Close(c);  // the client went away
    }
    if (!c.tls) return Close(c);
    // Kept open: the next request, which may already be here.
    c.answering = false;
    c.answer = Answer{};
    Rewatch(c.fd, EPOLLIN);
    if (c.request.find("\r\n\r\n") != std::string::npos) return Route(c);
    Receive(c);
  }

  void RunDue() {
    const long long now = NowMs();
    while (!due_.empty() && due_.top().first <= now) {
      const int fd = due_.top().second;
      due_.pop();
      if (auto it = connections_.find(fd); it != connections_.end()) Send(it->second);
    }
  }

  int epoll_;
  int listener_;
  int port_;
  int tlsListener_;
  SSL_CTX* tls_;
  long tlsConnections_ = 0;
  std::unordered_map<int, Connection> connections_;
  using Due = std::pair<long long, int>;  // when, connection
  std::priority_queue<Due, std::vector<Due>, std::greater<>> due_;
};

// HTTP/1.1 only, as ALPN tells the client.
int OnlyHttp11(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
               unsigned int inLength, void*) {
  static const unsigned char kHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
  unsigned char* chosen = nullptr;
  if (SSL_select_next_proto(&chosen, outLength, kHttp11, sizeof kHttp11, in, inLength) !=
      OPENSSL_NPN_NEGOTIATED)
    return SSL_TLSEXT_ERR_NOACK;
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

}  // namespace

int main(int argc, char** argv) {
  const char* portsFile = nullptr;
  const char* certificate = nullptr;
  const char* key = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--ports-file") == 0 && i + 1 < argc) {
      portsFile = argv[++i];
    } else if (std::strcmp(argv[i], "--tls") == 0 && i + 2 < argc) {
      certificate = argv[++i];
      key = argv[++i];
    } else {
      std::fprintf(stderr, "usage: bench_server [--ports-file FILE] [--tls CERT KEY]\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  int port = 0, tlsPort = 0, tlsListener = -1;
  const int listener = bench::Listen(&port);
  if (listener < 0) return 1;
  SSL_CTX* tls = nullptr;
  if (certificate) {
    tls = SSL_CTX_new(TLS_server_method());
    if (!tls || SSL_CTX_use_certificate_chain_file(tls, certificate) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls, key, SSL_FILETYPE_PEM) != 1) {
      ERR_print_errors_fp(stderr);
      return 1;
    }
    SSL_CTX_set_mode(tls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_alpn_select_cb(tls, OnlyHttp11, nullptr);
    tlsListener = bench::Listen(&tlsPort);
    if (tlsListener < 0) return 1;
  }
  bench::TellPorts(
      "{\"port\": " + std::to_string(port) + ", \"tls\": " + std::to_string(tlsPort) + "}\n",
      portsFile);
  Server(listener, port, tlsListener, tls).Run();
  return 0;
}
