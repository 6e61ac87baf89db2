#include "web/http_exchange.h"

#include <string>
#include <vector>

#include "runtime/commands.h"
#include "runtime/external.h"
#include "runtime/memory_file.h"
#include "web/cookies.h"
#include "web/markers.h"
#include "web/url.h"

namespace tobrine {
namespace {

using winapi::Hinternet;

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

ByteBlock TextBytes(std::string_view text) {
  return ByteBlock::FromBytes(text);
}

bool Contains(std::string_view block, std::string_view word) {
  return FindText(block, word, 1, true) != -1;
}

void Close(Hinternet& handle) {
  if (!handle) return;
  CallExternal<winapi::InternetCloseHandleFn>(kExtInternetCloseHandle, handle);
  handle = nullptr;
}

// The raw response headers. Headers longer than the first buffer are queried
// again with the size WinINet asks for, so that none of them (and none of the
// cookies in them) is lost. A failed query gives the empty text.
TextValue QueryRawHeaders(Hinternet request) {
  std::vector<char> buffer(kChunk + 1, ' ');
  buffer[kChunk] = '\0';
  winapi::Dword length = kChunk;
  auto query = [&] {
    return CallExternal<winapi::HttpQueryInfoAFn>(kExtHttpQueryInfoA, request,
                                                  winapi::kHttpQueryRawHeadersCrlf, buffer.data(),
                                                  &length, nullptr);
  };
  if (query()) return TextValue::FromBytes(buffer.data());
  if (length > kChunk && length < (1u << 24)) {
    buffer.assign(length + 1, '\0');
    if (query()) return TextValue::FromBytes(buffer.data());
  }
  return {};
}

// Composes the header block from the caller's lines and the default set, in the
// order Accept, Referer, Accept-Language, Content-Type, Content-Length, Cookie.
TextValue ComposeHeaders(TextValue block, std::string_view address, std::string_view verb,
                         const ByteBlock& body, std::string_view cookies) {
  if (!Contains(block, "Accept")) block = JoinTexts(block, kAcceptLine);
  if (Contains(block, "RefererNo")) {
    block = ReplaceSubtext(block, "RefererNo", std::nullopt, 1, 1, true);
  } else if (!Contains(block, "Referer")) {
    block = JoinTexts(block, std::string_view("Referer: "), address, kCrLf);
  }
  if (!Contains(block, "Accept-Language")) block = JoinTexts(block, kLanguageLine);
  if (verb == "POST" && !body.empty()) {
    if (!Contains(block, "Content-Type")) block = JoinTexts(block, kContentTypeLine);
    if (!Contains(block, "Content-Length"))
      block = JoinTexts(block, std::string_view("Content-Length: "), std::to_string(body.size()),
                        kCrLf);
  }
  if ((verb == "GET" || verb == "POST") && !cookies.empty())
    block = JoinTexts(block, std::string_view("Cookie: "), cookies, kCrLf, kCrLf);
  return block;
}

}  // namespace

TextValue ExchangeSlotText(const ByteBlock& slot) {
  std::string_view bytes = slot.bytes();
  return TextValue::FromBytes(bytes.substr(0, bytes.find('\0')));
}

bool WriteExchangeRecord(int32_t file, const ExchangeRecord& r) {
  return SeekFileStart(file) &&
         WriteData(file,
                   {Value::Bytes(r[0]), Value::Bytes(r[1]), Value::Bytes(r[2]), Value::Bytes(r[3]),
                    Value::Bytes(r[4]), Value::Bytes(r[5]), Value::Bytes(r[6])});
}

bool ReadExchangeRecord(int32_t file, ExchangeRecord& r) {
  return SeekFileStart(file) && ReadData(file, {r[0], r[1], r[2], r[3], r[4], r[5], r[6]});
}

void HttpExchange(int32_t file, const std::atomic<bool>* stop) {
  ExchangeRecord slots;
  if (!ReadExchangeRecord(file, slots)) {
    // An unreadable request must not come back as its own answer (the address
    // as the body): the record becomes seven empty slots.
    for (auto& slot : slots) slot = ByteBlock();
    WriteExchangeRecord(file, slots);
    return;
  }

  TextValue address = ExchangeSlotText(slots[0]);
  TextValue verb = ExchangeSlotText(slots[1]);
  TextValue extra = ExchangeSlotText(slots[3]);
  TextValue cookies = ExchangeSlotText(slots[5]);
  const bool follow = ExchangeSlotText(slots[6]).view() == "真";
  // Only an address that begins with the https scheme is secure; "https://"
  // further on (in a query) does not make it so.
  const bool secure = IsSecureAddress(address);
  TextValue host = UrlHost(address);
  TextValue path = UrlObjectPath(address);

  TextValue agent = TextValue::Literal(kDefaultAgent);
  if (Contains(extra, "User-Agent:")) {
    TextValue left = TextValue::Literal("User-Agent:");
    TextValue right = TextValue::Literal(kCrLf);
    agent = TrimSpaces(TextBetween(extra, left, right));
  }

  Hinternet internet = nullptr, connection = nullptr, request = nullptr;
  auto writeBack = [&] {
    if (stop && stop->load()) return;
    WriteExchangeRecord(file, slots);
  };
  // A handle that cannot be opened: empty body, and no received cookies or
  // headers (the request's own verb and cookie text are not results).
  auto fail = [&] {
    Close(request);
    Close(connection);
    Close(internet);
    slots[0] = ByteBlock();
    slots[1] = ByteBlock();
    slots[5] = ByteBlock();
    writeBack();
  };

  if (slots[2].empty()) {
    internet = CallExternal<winapi::InternetOpenAFn>(kExtInternetOpenA, agent.c_str(),
                                                     winapi::kInternetOpenTypeDirect, "", "", 0u);
  } else {
    TextValue proxy = JoinTexts(std::string_view("http="), ExchangeSlotText(slots[2]));
    internet = CallExternal<winapi::InternetOpenAFn>(
        kExtInternetOpenA, agent.c_str(), winapi::kInternetOpenTypeProxy, proxy.c_str(), "", 0u);
  }
  if (!internet) return fail();

  // The address's own port; without one, 443 for https and 80 for http.
  const auto port = static_cast<uint16_t>(UrlPort(address));
  connection = CallExternal<winapi::InternetConnectAFn>(
      kExtInternetConnectA, internet, host.c_str(), port, "", "", winapi::kInternetServiceHttp, 0u,
      uintptr_t{0});
  if (!connection) return fail();

  winapi::Dword flags = winapi::kInternetFlagReload | winapi::kInternetFlagNeedFile;
  if (!TrimSpaces(cookies).empty()) flags |= winapi::kInternetFlagNoCookies;
  if (!follow) flags |= winapi::kInternetFlagNoAutoRedirect;
  if (secure)
    flags = winapi::kInternetFlagSecure;
  else
    flags |= winapi::kInternetFlagIgnoreRedirectToHttps;

  request = CallExternal<winapi::HttpOpenRequestAFn>(kExtHttpOpenRequestA, connection, verb.c_str(),
                                                     path.c_str(), "HTTP/1.1", nullptr, nullptr,
                                                     flags, uintptr_t{0});
  if (!request) return fail();

  TextValue block = ComposeHeaders(std::move(extra), address, verb, slots[4], cookies);
  if (verb.view() == "GET") {
    CallExternal<winapi::HttpSendRequestAFn>(kExtHttpSendRequestA, request, block.c_str(),
                                             static_cast<winapi::Dword>(block.size()), nullptr, 0u);
  } else if (verb.view() == "POST") {
    CallExternal<winapi::HttpSendRequestAFn>(
        kExtHttpSendRequestA, request, block.c_str(), static_cast<winapi::Dword>(block.size()),
        slots[4].empty() ? nullptr : static_cast<void*>(slots[4].data()),
        static_cast<winapi::Dword>(slots[4].size()));
  }

  // The body grows in one buffer (amortised linear time), not chunk by chunk
  // into a new block each time.
  std::string body;
  std::vector<char> chunk(kChunk);
  while (!(stop && stop->load())) {
    winapi::Dword count = 0;
    CallExternal<winapi::InternetReadFileFn>(kExtInternetReadFile, request, chunk.data(),
                                             static_cast<winapi::Dword>(kChunk), &count);
    if (count == 0) break;
    body.append(chunk.data(), count);
  }
  if (stop && stop->load()) {
    Close(request);
    Close(connection);
    Close(internet);
    return;
  }
  slots[0] = ByteBlock::FromBytes(body);
  body.clear();
  body.shrink_to_fit();

  TextValue headers = QueryRawHeaders(request);
  slots[5] = TextBytes(headers);
  Close(request);
  Close(connection);
  Close(internet);
  slots[1] = TextBytes(CollectCookies(headers, host));
  writeBack();
}

}  // namespace tobrine
