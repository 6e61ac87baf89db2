#include "web/exchange_record.h"

#include <array>

#include "runtime/memory_file.h"

namespace tobrine {
namespace {

constexpr std::string_view kTrueText = "真";
constexpr std::string_view kFalseText = "假";

// The slots, from 0, of the table in the header.
enum Slot : std::size_t {
  kAddressOrBody,
  kVerbOrCookies,
  kProxy,
  kExtraHeaders,
  kPostBody,
  kCookiesOrHeaders,
  kFollow,
  kSlotCount
};

bool Write(int32_t file, const std::array<const ByteBlock*, kSlotCount>& s) {
  return SeekFileStart(file) &&
         WriteData(file, {Value::Bytes(*s[0]), Value::Bytes(*s[1]), Value::Bytes(*s[2]),
                          Value::Bytes(*s[3]), Value::Bytes(*s[4]), Value::Bytes(*s[5]),
                          Value::Bytes(*s[6])});
}

std::optional<std::array<ByteBlock, kSlotCount>> Read(int32_t file) {
  std::array<ByteBlock, kSlotCount> s;
  if (!SeekFileStart(file) || !ReadData(file, {s[0], s[1], s[2], s[3], s[4], s[5], s[6]}))
    return std::nullopt;
  return s;
}

ByteBlock Bytes(const TextValue& text) {
  return ByteBlock::FromBytes(text.view());
}

TextValue Text(const ByteBlock& slot) {
  return TextValue::FromBytes(TextUpToNul(slot.bytes()));
}

// Writes the request's own slots 3, 4, 5 and 7 and the three given ones.
bool WriteWith(int32_t file, const ExchangeRequest& request, const ByteBlock& first,
               const ByteBlock& second, const ByteBlock& sixth) {
  const ByteBlock proxy = Bytes(request.proxy), extra = Bytes(request.extraHeaders);
  const ByteBlock follow = ByteBlock::FromBytes(request.followRedirects ? kTrueText : kFalseText);
  return Write(file, {&first, &second, &proxy, &extra, &request.postBody, &sixth, &follow});
}

}  // namespace

bool WriteExchangeRequest(int32_t file, const ExchangeRequest& request) {
  return WriteWith(file, request, Bytes(request.address), Bytes(request.verb),
                   Bytes(request.cookies));
}

std::optional<ExchangeRequest> ReadExchangeRequest(int32_t file) {
  auto s = Read(file);
  if (!s) return std::nullopt;
  ExchangeRequest request;
  request.address = Text((*s)[kAddressOrBody]);
  request.verb = Text((*s)[kVerbOrCookies]);
  request.proxy = Text((*s)[kProxy]);
  request.extraHeaders = Text((*s)[kExtraHeaders]);
  request.postBody = std::move((*s)[kPostBody]);
  request.cookies = Text((*s)[kCookiesOrHeaders]);
  request.followRedirects = Text((*s)[kFollow]).view() == kTrueText;
  return request;
}

bool WriteExchangeReply(int32_t file, const ExchangeRequest& request, const ExchangeReply& reply) {
  return WriteWith(file, request, reply.body, Bytes(reply.receivedCookies),
                   Bytes(reply.rawHeaders));
}

bool WriteEmptyExchangeRecord(int32_t file) {
  const ByteBlock empty;
  return Write(file, {&empty, &empty, &empty, &empty, &empty, &empty, &empty});
}

std::optional<ExchangeReply> ReadExchangeReply(int32_t file) {
  auto s = Read(file);
  if (!s) return std::nullopt;
  ExchangeReply reply;
  reply.body = std::move((*s)[kAddressOrBody]);
  reply.receivedCookies = Text((*s)[kVerbOrCookies]);
  reply.rawHeaders = Text((*s)[kCookiesOrHeaders]);
  return reply;
}

}  // namespace tobrine
