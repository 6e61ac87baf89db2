// The one thread that drives every HTTP transfer of the process through one
// curl multi handle, so that fetches on any thread share connections (kept
// alive per host, HTTP/2 streams side by side on one), TLS sessions and looked-up
// names. A calling thread hands its transfer over and waits on the transfer's
// own state, which the engine's callbacks fill.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace tobrine::posix {

// One request's transfer, as the engine drives it. Every member is called on
// the engine's thread.
class CurlTransfer {
 public:
  virtual ~CurlTransfer() = default;
  // Sets the request's options on a handle fresh from curl_easy_reset.
  // `http2`: HTTP/2 may be offered (https only); `waitForMultiplexing`: the
  // host is known to speak HTTP/2, so a connection being set up is waited for
  // rather than another one opened.
  virtual void Configure(CURL* easy, bool http2, bool waitForMultiplexing) = 0;
  // "scheme://host:port": what the engine remembers a server's protocol under.
  virtual std::string Origin() const = 0;
  // Whether the connection of the last attempt chose HTTP/2, and whether any of
  // the response has arrived.
  virtual bool OnHttp2() const = 0;
  virtual bool Answered() const = 0;
  // After each round of the engine's work: tells the caller what its callbacks
  // received meanwhile, all of it at once.
  virtual void Wake() = 0;
  // The transfer has ended (CURLE_OK or why it failed); the engine has let go
  // of its handle.
  virtual void Ended(CURLcode result, long verifyResult) = 0;
};

// False when the engine has ended (the process is ending) or cannot start: the
// transfer is then never configured.
bool StartTransfer(std::shared_ptr<CurlTransfer> transfer);
// Takes a transfer out, wherever it is (nothing when it has ended); it is not
// told of its end.
void CancelTransfer(std::shared_ptr<CurlTransfer> transfer);
// Lets a transfer whose write callback paused it go on.
void ResumeTransfer(std::shared_ptr<CurlTransfer> transfer);
// Ends the engine: every transfer still going ends as aborted, its thread is
// joined and every curl handle, connection and TLS session is released. Runs
// by itself when the process exits.
void EndTransfers();

// The handles of a transfer that its calling thread runs itself, with a multi
// handle of its own (no connection shared): kept for the next such transfer
// (setting a pair up is a good part of a short request's cost) until the
// engine ends. Both null when none can be made.
struct OwnHandles {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
};
OwnHandles TakeOwnHandles();
// Takes back a pair whose easy handle is in no multi handle any more.
void GiveOwnHandles(OwnHandles handles);

}  // namespace tobrine::posix
