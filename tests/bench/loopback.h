// What the bench's loopback programs (bench_server, delay_proxy) share.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

// A non-blocking listening socket on 127.0.0.1 with a backlog large enough
// that no connection attempt is dropped; -1 on failure. `port` gets its port.
inline int Listen(int* port) {
  constexpr int kListenBacklog = 4096;
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, kListenBacklog) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("listen");
    return -1;
  }
  *port = ntohs(address.sin_port);
  return listener;
}

// The line that tells the ports, on standard output and (written whole, then
// renamed into place) in `portsFile` when one is given.
inline void TellPorts(const std::string& line, const char* portsFile) {
  if (portsFile) {
    const std::string part = std::string(portsFile) + ".part";
    if (FILE* f = std::fopen(part.c_str(), "w")) {
      std::fputs(line.c_str(), f);
      std::fclose(f);
      std::rename(part.c_str(), portsFile);
    }
  }
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

// Waits on `epoll`, which watches standard input too, until standard input
// closes: `handle(event)` gets every other event, `after()` runs after every
// wake-up, and `timeout()` says how long a wait may last (-1: for ever).
template <typename Timeout, typename Handle, typename After>
void RunUntilInputCloses(int epoll, Timeout timeout, Handle handle, After after) {
  std::vector<epoll_event> events(256);
  for (;;) {
    const int n = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), timeout());
    if (n < 0 && errno != EINTR) return;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.fd == STDIN_FILENO) {
        char buffer[256];
        if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) return;
      } else {
        handle(events[i]);
      }
    }
    after();
  }
}

}  // namespace bench
