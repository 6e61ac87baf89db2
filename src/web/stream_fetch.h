// Fetching a response too large to hold (a package written to disk): its body
// is handed on chunk by chunk from a worker thread, while the calling thread
// waits for as long as data keeps arriving.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "runtime/value.h"
#include "web/fetch_outcome.h"

namespace tobrine {

// Where the body goes. Called on the fetch's worker thread, one call at a time;
// shared with the worker, which may outlive a fetch given up on.
class BodyStream {
 public:
  virtual ~BodyStream() = default;
  // The final response's raw header text (CR LF lines), before any of its body.
  // False: stop here, with the outcome the status gives.
  virtual bool Begin(std::string_view rawHeaders) = 0;
  // The next bytes of the body. False: stop (the outcome is kOther).
  virtual bool Chunk(std::string_view bytes) = 0;
};

// How many bytes of a body count as the data arriving.
inline constexpr uint64_t kStreamActiveBytes = 1024;

struct StreamFetchOptions {
  std::string_view extraHeaders{};  // request header lines, each ending in CR LF
  // Gives up when less than kStreamActiveBytes arrived for this long: a server
  // that trickles a byte at a time holds no fetch for ever.
  int32_t idleSeconds = 60;
  uint64_t byteCap = 0;  // the body stops past this many bytes (kTooLarge)
  // Called on the calling thread about five times a second while it waits.
  std::function<void()> onWait{};
};

// A GET of `address` ("http://" put in front when it has no scheme) with the
// default header set and the caller's lines, its body handed to `stream`.
// Follows redirects. Whether the body ended in full is for the stream to judge
// against the length the headers announced: WinINet reads a body cut short as
// one that has ended.
FetchOutcome StreamFetch(TextValue address, const StreamFetchOptions& options,
                         std::shared_ptr<BodyStream> stream);

}  // namespace tobrine
