// One HTTP or HTTPS request through the system's WinINet, described by and
// answered in an exchange record held in a memory file (web/exchange_record.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "web/exchange_record.h"
#include "web/fetch_outcome.h"
#include "web/stream_fetch.h"

namespace tobrine {

// The largest body a page or manifest may have; a longer one fails the fetch.
inline constexpr int32_t kMaxBodyBytes = 64 * 1024 * 1024;
// The most redirects followed for one request.
inline constexpr int32_t kMaxRedirects = 20;

// How an exchange ended.
enum class ExchangeEnd {
  kAnswered,    // the reply is in the record (a failed request: an empty body)
  kRefused,     // the request was not sent (an address or text that could add
                // header lines): an empty reply is in the record
  kTooLarge,    // the body went past kMaxBodyBytes: an empty reply is in the record
  kUnreadable,  // no request in the record: seven empty slots are there now
  kStopped,     // told to stop: nothing was written
  kNotWritten,  // the reply could not be written back: seven empty slots, if even
                // they could be written
};

// How the waiting side stops an exchange it has given up on. Stop() may be
// called from any thread: it marks the exchange stopped and closes the request
// handle the exchange is using, which makes a WinINet call blocked in it return.
class ExchangeStop {
 public:
  void Stop();
  bool stopped() const { return stopped_.load(); }

  // The exchange's side: the request handle it now uses. False when it has been
  // stopped already (the handle is then closed at once).
  bool Use(void* request);
  // Takes the handle back from the stop: true when it is still the exchange's to
  // close, false when Stop() has closed it.
  bool Release();

 private:
  std::mutex mutex_;
  void* request_ = nullptr;
  std::atomic<bool> stopped_{false};
};

// A text an answer's body is checked against as it arrives: a body whose text
// (up to its first NUL) is this one is never held, and `same` tells so.
struct ExpectedBody {
  std::string_view text;
  bool* same = nullptr;
};

// Reads the request from the start of `file`, performs it (following redirects
// itself, kMaxRedirects at most) and writes the reply there. `outcome`, when
// given, tells how the exchange went (also when it wrote an empty reply). When
// `body` is given an answer's body is handed over there and the record's body
// slot stays empty, so that a large body is not copied through the record.
// With `expected`, a body that is the expected text comes back empty.
ExchangeEnd HttpExchange(int32_t file, ExchangeStop* stop = nullptr,
                         FetchOutcome* outcome = nullptr, ByteBlock* body = nullptr,
                         const ExpectedBody* expected = nullptr);

// One GET (the request's verb) on the calling thread with the same opening,
// header block, certificate checks and redirect rules, its body handed to
// `stream` chunk by chunk instead of held; not written to WinINet's cache. The
// outcome has the final status; a failed read between chunks is a failure, a
// body cut off without one is for the stream to notice against the length
// announced.
FetchOutcome StreamExchange(const ExchangeRequest& request, BodyStream& stream, ExchangeStop* stop);

}  // namespace tobrine
