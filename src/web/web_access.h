// Fetching one web resource: the HTTP exchange runs on a worker thread of its
// own while the calling (GUI) thread keeps dispatching window messages, within a
// time-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "runtime/value.h"
#include "web/fetch_outcome.h"

namespace tobrine {

// The result of a fetch that ran out of time (code page 936 bytes).
std::string_view TimeoutNotice();

enum class HttpMethod { kGet, kPost };

// What the body is converted from, into code page 936. A converted body ends at
// its first NUL.
enum class BodyConversion {
  kNone,
  kUtf8,
  kBig5,  // to simplified characters too
};

// How to fetch; the defaults fetch with a GET, directly, within 60 seconds.
struct FetchOptions {
  HttpMethod method = HttpMethod::kGet;
  std::string_view proxy{};         // "host:port" of an http proxy for http:// addresses
  std::string_view extraHeaders{};  // request header lines, each ending in CR LF
  std::string_view postBody{};      // bytes sent with a POST
  std::string_view cookies{};       // sent in a "Cookie: " line (and switches stored cookies off)
  int32_t timeoutSeconds = 60;      // 0 included, used as it is; a negative one counts as 0
  TextValue* receivedHeaders = nullptr;  // when given: the raw response header text
  BodyConversion conversion = BodyConversion::kNone;
  TextValue* receivedCookies = nullptr;  // when given: the received cookie text
  bool followRedirects = true;
  FetchOutcome* outcome = nullptr;  // when given: how the fetch went, written in every case
  // When given, the body is checked against this text as it arrives: a body
  // whose text (up to its first NUL) is the same is never held, the fetch gives
  // the empty block and `sameAsExpected` is set. Shared with the worker, which
  // may still read it after a time-out.
  std::shared_ptr<const TextValue> expectedText{};
  bool* sameAsExpected = nullptr;  // when given with expectedText: whether it was the same
};

// Fetches `address` and returns the response body, the time-out notice, or the
// empty block (empty address, failed exchange, worker that cannot start). An
// address without a scheme is rewritten with "http://" in front. The outputs of
// the options are written only when the exchange ended within the time-out.
// Messages dispatched while waiting may run handlers that fetch in turn; the
// nested fetch finishes before this one goes on waiting.
ByteBlock WebAccess(TextValue& address, const FetchOptions& options = {});

// WebAccess in two steps: the fetch starts when the object is made, and the
// caller works meanwhile. Dropping it unfinished gives the fetch up as a
// time-out does (the worker is told to stop and its result never looked at).
class StartedFetch {
 public:
  // Starts fetching `address` (which gets "http://" in front when it has no
  // scheme); the time-out counts from here. The options' texts are sent now,
  // their outputs are written by Result.
  StartedFetch(TextValue& address, const FetchOptions& options = {});
  ~StartedFetch();
  StartedFetch(const StartedFetch&) = delete;
  StartedFetch& operator=(const StartedFetch&) = delete;

  // Waits as WebAccess does, dispatching the thread's messages, and gives what
  // WebAccess would have given; the empty block when asked again.
  ByteBlock Result();

  class Fetch;

 private:
  std::unique_ptr<Fetch> fetch_;
  FetchOptions options_;
};

// How many fetches WebAccessEach keeps going at once.
inline constexpr int32_t kFetchesInFlight = 8;
// How far WebAccessEach fetches ahead of a slow fetch: the results that wait
// for it, counted with the fetches running.
inline constexpr std::size_t kWindowEntries = 4 * kFetchesInFlight;
inline constexpr std::size_t kWindowBytes = std::size_t{16} << 20;

// One fetch of WebAccessEach: the address as fetched ("http://" put in front
// when it had no scheme) and what WebAccess would have returned for it.
struct FetchResult {
  TextValue address;
  ByteBlock body;
  FetchOutcome outcome;  // how it went
};

// Fetches `count` resources as WebAccess does, up to kFetchesInFlight at once,
// each within its own time-out counted from its own start; the options'
// received headers, cookies and outcome are not written (each result has its
// outcome). `addressOf(k)` gives address
// k (from 0, in order) when fetch k starts, so that the addresses and bodies
// held stay bounded (kWindowEntries, kWindowBytes). `done(k, result)`
// gets each result in order, as soon as it and every earlier one are there.
// While waiting the calling thread dispatches its messages; a handler run
// meanwhile may fetch in turn, and finishes before this call goes on.
void WebAccessEach(int32_t count, const std::function<TextValue(int32_t)>& addressOf,
                   const std::function<void(int32_t, FetchResult&)>& done,
                   const FetchOptions& options = {});

}  // namespace tobrine
