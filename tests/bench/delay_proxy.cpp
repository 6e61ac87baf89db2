// A network far away, on loopback, for `make bench`: TCP connections to its
// ports on 127.0.0.1 are passed on to one port of a server on 127.0.0.1, every
// byte held back for half a round trip in each direction. A connection costs
// a round trip before its first byte goes out, as a TCP handshake would. Bytes
// are forwarded on a schedule, each when it is due, so that bytes in flight on
// any connection overlap as on a real network; the listen backlog is large, so
// that no connection attempt is dropped.
//
//     delay_proxy --rtt MS --to PORT [--listen N] [--ports-file FILE]
//
// Listens on N ports (4 by default: four "hosts"), prints {"ports": [...]} on
// one line when ready (and writes it to FILE), and ends when standard input
// closes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "loopback.h"

namespace {

constexpr std::size_t kReadBytes = 256 << 10;

long long NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

struct Chunk {
  long long due = 0;  // microseconds
  std::string bytes;  // empty: the end of the stream
  std::size_t sent = 0;
};

// One direction of a connection: what was read from `from` and waits to be
// written to `to`.
struct Flow {
  int from = -1, to = -1;
  std::deque<Chunk> waiting;
  bool readEnded = false;  // `from` has ended; its end is queued
  bool ended = false;      // ...and passed on
  bool blocked = false;    // `to` takes no more for now
};

struct Link {
  long long opened = 0;
  Flow up, down;  // client to server, server to client
};

class Proxy {
 public:
  Proxy(long long halfUs, int serverPort) : half_(halfUs), serverPort_(serverPort) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
  }

  void AddListener(int fd) {
    listeners_.push_back(fd);
    Watch(fd, EPOLLIN, EPOLL_CTL_ADD);
  }

  // Forwards until standard input closes.
  void Run() {
    Watch(STDIN_FILENO, EPOLLIN, EPOLL_CTL_ADD);
    bench::RunUntilInputCloses(
        epoll_, [this] { return Timeout(); },
        [this](const epoll_event& event) {
          const int fd = event.data.fd;
          if (std::find(listeners_.begin(), listeners_.end(), fd) != listeners_.end()) {
            Accept(fd);
          } else if (auto it = byFd_.find(fd); it != byFd_.end()) {
            Link& link = links_[it->second];
            for (Flow* flow : {&link.up, &link.down}) {
              if (flow->from == fd && (event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                Read(link, *flow);
              if (flow->to == fd && flow->blocked && (event.events & (EPOLLOUT | EPOLLERR))) {
                flow->blocked = false;
                Rewatch(link, fd);
              }
            }
          }
        },
        [this] { Forward(); });
  }

 private:
  void Watch(int fd, uint32_t what, int op) {
    epoll_event e{};
    e.events = what;
    e.data.fd = fd;
    epoll_ctl(epoll_, op, fd, &e);
  }

  // What a socket of a link waits for: bytes to read, room to write. One that
  // waits for neither leaves the set (a hung-up socket would wake it for ever).
  void Rewatch(const Link& link, int fd) {
    uint32_t what = 0;
    for (const Flow* flow : {&link.up, &link.down}) {
      if (flow->from == fd && !flow->readEnded) what |= EPOLLIN;
      if (flow->to == fd && flow->blocked) what |= EPOLLOUT;
    }
    if (what == 0) {
      epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
      return;
    }
    epoll_event e{};
    e.events = what;
    e.data.fd = fd;
    if (epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &e) != 0 && errno == ENOENT)
      epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e);
  }

  int Timeout() const {
    long long next = -1;
    for (const auto& [id, link] : links_)
      for (const Flow* flow : {&link.up, &link.down})
        if (!flow->waiting.empty() && !flow->blocked &&
            (next < 0 || flow->waiting.front().due < next))
          next = flow->waiting.front().due;
    if (next < 0) return -1;
    return static_cast<int>(std::max(0LL, (next - NowUs() + 999) / 1000));
  }

  void Accept(int listener) {
    for (;;) {
      const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(static_cast<uint16_t>(serverPort_));
      if (server < 0 || connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address)) {
        close(client);
        if (server >= 0) close(server);
        continue;
      }
      const int on = 1;
      for (int fd : {client, server}) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      }
      const long id = ++lastId_;
      Link& link = links_[id];
      link.opened = NowUs();
      link.up.from = link.down.to = client;
      link.up.to = link.down.from = server;
      byFd_[client] = byFd_[server] = id;
      Watch(client, EPOLLIN, EPOLL_CTL_ADD);
      Watch(server, EPOLLIN, EPOLL_CTL_ADD);
    }
  }

  void Read(Link& link, Flow& flow) {
    if (flow.readEnded) return;
    // The client's bytes leave once its handshake would have ended.
    const long long now = NowUs();
    const long long due =
        (&flow == &link.up ? std::max(now, link.opened + 2 * half_) : now) + half_;
    for (;;) {
      std::string bytes(kReadBytes, '\0');
      const ssize_t got = recv(flow.from, bytes.data(), bytes.size(), 0);
      if (got > 0) {
        bytes.resize(static_cast<std::size_t>(got));
        flow.waiting.push_back({due, std::move(bytes)});
        continue;
      }
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      flow.readEnded = true;  // ended or reset: its end is passed on in turn
      flow.waiting.push_back({due, {}});
      Rewatch(link, flow.from);
      return;
    }
  }

  // Writes every chunk that is due; ends the links whose both ways have ended.
  void Forward() {
    const long long now = NowUs();
    std::vector<long> done;
    for (auto& [id, link] : links_) {
      for (Flow* flow : {&link.up, &link.down}) {
        while (!flow->blocked && !flow->waiting.empty() && flow->waiting.front().due <= now) {
          Chunk& chunk = flow->waiting.front();
          if (chunk.bytes.empty()) {
            shutdown(flow->to, SHUT_WR);
            flow->ended = true;
            flow->waiting.pop_front();
            continue;
          }
          const ssize_t put = send(flow->to, chunk.bytes.data() + chunk.sent,
                                   chunk.bytes.size() - chunk.sent, MSG_NOSIGNAL);
          if (put > 0) {
            chunk.sent += static_cast<std::size_t>(put);
            if (chunk.sent == chunk.bytes.size()) flow->waiting.pop_front();
          } else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            flow->blocked = true;
            Rewatch(link, flow->to);
          } else {
            flow->ended = link.up.ended = link.down.ended = true;  // reset: both go
            break;
          }
        }
      }
      if (link.up.ended && link.down.ended) done.push_back(id);
    }
    for (long id : done) {
      const Link& link = links_[id];
      for (int fd : {link.up.from, link.up.to}) {
        byFd_.erase(fd);
        close(fd);
      }
      links_.erase(id);
    }
  }

  const long long half_;
  const int serverPort_;
  int epoll_;
  std::vector<int> listeners_;
  std::map<long, Link> links_;
  std::map<int, long> byFd_;
  long lastId_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  int rttMs = -1, serverPort = 0, count = 4;
  const char* portsFile = nullptr;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rtt") == 0) {
      rttMs = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--to") == 0) {
      serverPort = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--listen") == 0) {
      count = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--ports-file") == 0) {
      portsFile = argv[i + 1];
    }
  }
  if (rttMs < 0 || serverPort <= 0 || count < 1 || argc % 2 == 0) {
    std::fprintf(stderr,
                 "usage: delay_proxy --rtt MS --to PORT [--listen N] [--ports-file FILE]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  Proxy proxy(rttMs * 500LL, serverPort);
  std::string line = "{\"ports\": [";
  for (int k = 0; k < count; ++k) {
    int port = 0;
    const int fd = bench::Listen(&port);
    if (fd < 0) return 1;
    proxy.AddListener(fd);
    line += (k ? ", " : "") + std::to_string(port);
  }
  bench::TellPorts(line + "]}\n", portsFile);
  proxy.Run();
  return 0;
}
