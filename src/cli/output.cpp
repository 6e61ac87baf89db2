#include "cli/output.h"

#include <nlohmann/json.hpp>

#include "platform/system.h"
#include "text/utf8.h"
#include "web/url.h"

namespace tobrine::cli {
namespace {

using Json = nlohmann::ordered_json;

constexpr char kHex[] = "0123456789abcdef";

void AppendHexEscape(std::string& out, unsigned char byte) {
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0xF];
}

// JSON escapes C0 controls itself but leaves DEL and the C1 range as they are;
// a terminal acts on those too. Outside strings a JSON text is plain ASCII, so
// escaping them anywhere in it stays inside strings.
std::string EscapeJsonControls(const std::string& json) {
  std::string out;
  out.reserve(json.size());
  for (std::size_t i = 0; i < json.size(); ++i) {
    const auto c = static_cast<unsigned char>(json[i]);
    const auto next = i + 1 < json.size() ? static_cast<unsigned char>(json[i + 1]) : 0;
    if (c == 0x7F) {
      out += "\\u007f";
    } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      out += "\\u00";
      out += kHex[next >> 4];
      out += kHex[next & 0xF];
      ++i;
    } else {
      out += json[i];
    }
  }
  return out;
}

std::string JsonLine(const Json& object) {
  // Text that is not UTF-8 (it never should be: every text passes through the conversions above)
  // becomes U+FFFD instead of an exception.
  return EscapeJsonControls(object.dump(-1, ' ', false, Json::error_handler_t::replace)) + "\n";
}

}  // namespace

std::string AddressText(std::string_view cp936) {
  return platform::Cp936ToUtf8(cp936);
}

std::string ManifestText(std::string_view bytes) {
  return text::IsValidUtf8(bytes) ? std::string(bytes) : platform::Cp936ToUtf8(bytes);
}

std::string EscapeControls(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    const auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
    if (c < 0x20 || c == 0x7F) {
      AppendHexEscape(out, c);
    } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080..U+009F
      AppendHexEscape(out, c);
      AppendHexEscape(out, next);
      ++i;
    } else {
      out += utf8[i];
    }
  }
  return out;
}

std::string TextRow(std::string_view prefix, int32_t row, std::string_view text) {
  std::string line;
  if (!prefix.empty()) line = EscapeControls(prefix) + "\t";
  line += std::to_string(row) + "\t" + EscapeControls(text) + "\n";
  return line;
}

std::string JsonPackage(const lookup::PackageRow& package, int32_t row) {
  Json o;
  o["page"] = AddressText(package.page);
  o["manifest"] = AddressText(package.manifest);
  o["link"] = ManifestText(package.link);
  o["row"] = row;
  if (!package.title.empty()) o["title"] = ManifestText(package.title);
  if (!package.bundleId.empty()) o["bundle_id"] = ManifestText(package.bundleId);
  if (!package.version.empty()) o["version"] = ManifestText(package.version);
  return JsonLine(o);
}

std::string JsonManifest(std::string_view page, std::string_view manifest, int32_t row) {
  Json o;
  o["page"] = AddressText(page);
  o["manifest"] = AddressText(manifest);
  o["row"] = row;
  return JsonLine(o);
}

Failure DescribeFailure(std::string_view address, std::string_view what,
                        const FetchOutcome& outcome, int32_t timeoutSeconds) {
  struct Words {
    FetchFailure failure;
    const char* reason;  // for scripts
    const char* words;   // for people; the time-out and the status follow some
  };
  static constexpr Words kWords[] = {
      {FetchFailure::kTimeout, "timeout", "no answer within "},
      {FetchFailure::kHostNotFound, "host_not_found", "the host name could not be resolved (DNS)"},
      {FetchFailure::kConnection, "connection",
       "the connection failed (refused, reset or cut off)"},
      {FetchFailure::kTls, "tls",
       "the secure connection failed (TLS: the certificate was not accepted or the handshake "
       "failed)"},
      {FetchFailure::kHttpStatus, "http_status", "the server answered with HTTP status "},
      {FetchFailure::kTooLarge, "too_large", "the response is larger than allowed"},
      {FetchFailure::kBadAddress, "bad_address", "not an address a browser would fetch: "},
      {FetchFailure::kOther, "other", "the fetch failed"},
  };
  Failure f;
  f.address = std::string(address);
  std::string why;
  for (const Words& w : kWords) {
    if (w.failure != outcome.failure) continue;
    f.reason = w.reason;
    why = w.words;
  }
  if (outcome.failure == FetchFailure::kTimeout)
    why += std::to_string(timeoutSeconds) + (timeoutSeconds == 1 ? " second" : " seconds") +
           " (time-out)";
  if (outcome.failure == FetchFailure::kBadAddress) why += AddressFaultText(outcome.addressFault);
  if (outcome.failure == FetchFailure::kHttpStatus) {
    f.httpStatus = outcome.httpStatus;
    why += std::to_string(outcome.httpStatus);
  }
  f.message = std::string(what) + ": " + why;
  return f;
}

std::string JsonFailure(const Failure& failure) {
  Json o;
  o["error"] = failure.message;
  o["address"] = AddressText(failure.address);
  o["reason"] = failure.reason;
  if (failure.httpStatus != 0) o["http_status"] = failure.httpStatus;
  return JsonLine(o);
}

std::string TextFailure(const Failure& failure) {
  return "tobrine: " + EscapeControls(AddressText(failure.address)) + ": " +
         EscapeControls(failure.message) + "\n";
}

std::string JsonDownload(std::string_view link, std::string_view file, uint64_t bytes,
                         std::string_view result) {
  Json o;
  o["link"] = ManifestText(link);
  o["file"] = std::string(file);
  o["bytes"] = bytes;
  o["result"] = std::string(result);
  return JsonLine(o);
}

}  // namespace tobrine::cli
