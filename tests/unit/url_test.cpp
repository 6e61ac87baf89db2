// Addresses taken apart for the exchange, what is fetched for an address (or
// why nothing is), and where a redirect leads.
#include "web/url.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace tobrine {
namespace {

TEST(UrlSplitting, HostPathAndPort) {
  struct Row {
    const char* address;
    const char* host;
    const char* path;
    int32_t port;
  } rows[] = {
      {"http://WWW.Example.COM:8080/a/b?x=1", "www.example.com", "/a/b?x=1", 8080},
      // No "/" after the host: the query is the query all the same.
      {"http://host.com?q=1", "host.com", "/?q=1", 80},
      // A user name and password before the host are skipped.
      {"http://user:pw@Host.com:81/x", "host.com", "/x", 81},
      {"HTTPS://A.com/", "a.com", "/", 443},
      // "http://" later in the address stays in the path.
      {"http://a.com/p?u=http://b.com/", "a.com", "/p?u=http://b.com/", 80},
      {"https://a.com:8443/x", "a.com", "/x", 8443},
      {"http://a.com/r?next=https://b.com/", "a.com", "/r?next=https://b.com/", 80},
      // Without a scheme: http.
      {"a.com:90/z", "a.com", "/z", 90},
      {"http://[FE80::1]:8080/m/x", "[fe80::1]", "/m/x", 8080},
      // Ports 1 to 65535 only; anything else does not parse, never wraps.
      {"http://a.com:65535/", "a.com", "/", 65535},
      {"http://a.com:/", "a.com", "/", 80},
      {"http://a.com:65536/", "", "/", 0},
      {"http://a.com:0/", "", "/", 0},
      {"http://a.com:4294967377/", "", "/", 0},
      {"http://a.com:8080x/", "", "/", 0},
      // UTF-8 stays UTF-8; anything else is code page 936, sent as UTF-8.
      {"http://a.com/m/\xE5\xBA\x94.plist", "a.com", "/m/%E5%BA%94.plist", 80},
      {"http://a.com/\xD3\xA6\xD3\xC3?q=\xC7\xE5", "a.com", "/%E5%BA%94%E7%94%A8?q=%E6%B8%85", 80},
      {"http://\xC0\xFD\xD7\xD3.\xB2\xE2\xCA\xD4/", "xn--fsqu00a.xn--0zwm56d", "/", 80},
      // What a browser does to a path: dot segments, "\\", tabs and line breaks.
      {" http:\\\\a.com\\x\\..\\.\\y\t\n/%2e%2E/z ", "a.com", "/z", 80},
      {"http://a.com//m.plist", "a.com", "//m.plist", 80},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(UrlHost(r.address).view(), r.host) << r.address;
    EXPECT_EQ(UrlObjectPath(r.address).view(), r.path) << r.address;
    EXPECT_EQ(UrlPort(r.address), r.port) << r.address;
  }
  EXPECT_TRUE(IsSecureAddress("HTTPS://a.com/"));
  EXPECT_FALSE(IsSecureAddress("http://a.com/r?next=https://b.com/"));
}

// What is fetched for an address, or why nothing is.
TEST(UrlSplitting, WhatIsFetched) {
  const std::string longPath(kMaxAddressBytes - 13, 'a');
  struct Row {
    std::string address;
    std::string fetched;  // empty: not fetched
    AddressFault fault = AddressFault::kNone;
  } rows[] = {
      {"https://a.com:8443/x?y=1#z", "https://a.com:8443/x?y=1"},
      {"http://user:pw@a.com/x", "http://a.com/x"},
      {"http://a.com/" + longPath, "http://a.com/" + longPath},  // 8 KiB exactly
      {"http://a.com/" + longPath + "a", "", AddressFault::kTooLong},
      {"a.com/x y", "http://a.com/x%20y"},
      {"localhost:8080", "http://localhost:8080/"},
      {" \t localhost/x", "http://localhost/x"},
      {"ftp://a.com/x", "", AddressFault::kOtherScheme},
      {"http://a\r\nX-Injected: yes\r\nY: @127.0.0.1:8080/m/", "http://127.0.0.1:8080/m/"},
      {"http://a.com/x\x7F\x01\"<>`{}?'\"<>`{}",
       "http://a.com/x%7F%01%22%3C%3E%60%7B%7D?%27%22%3C%3E`{}"},
      {"http:///x", "http://x/"},
      {"http://", "", AddressFault::kNoHost},
      {"http://[::1/x", "", AddressFault::kBadIpv6},
      {"http://[::127.0.0.1]/", "http://[::7f00:1]/"},
      {"http://1.2.3.4.5/", "", AddressFault::kBadIpv4},
      {"http://1.2.3.4./", "http://1.2.3.4/"},
      {"http://0x7f.1/", "http://127.0.0.1/"},
      {"http://ho%7Fst/", "", AddressFault::kBadHost},
      {"http://a b/", "", AddressFault::kBadHost},
      {"http://a.com:83616/", "", AddressFault::kBadPort},
      {"http://a.com:0/", "", AddressFault::kPortZero},
      // Beyond any name DNS resolves, international names are not mapped.
      {"http://" + std::string(1021, 'a') + ".\xE4\xBE\x8B/", "", AddressFault::kBadDomain},
  };
  for (const auto& r : rows) {
    const ParsedAddress parsed = ParseFetchAddress(r.address);
    EXPECT_EQ(parsed.fault, r.fault) << r.address.substr(0, 60);
    EXPECT_EQ(parsed ? parsed.address.RequestAddress() : "", r.fetched) << r.address.substr(0, 60);
    EXPECT_EQ(IsFetchableAddress(r.address), !r.fetched.empty());
    // What is told for it: the address as fetched, or printable all the same.
    const std::string told = AddressAsFetched(r.address);
    if (parsed) {
      EXPECT_EQ(told, r.fetched);
    }
    EXPECT_TRUE(std::all_of(told.begin(), told.end(), [](char c) { return c > 0x20 && c < 0x7F; }))
        << told;
  }
}

TEST(UrlSplitting, RedirectTargets) {
  struct Row {
    const char* base;
    const char* location;
    const char* want;  // empty: not followed
  } rows[] = {
      {"http://a.com/x/y?q", "http://b.com/z", "http://b.com/z"},
      {"https://a.com/x", "//b.com/z", "https://b.com/z"},
      {"http://a.com:81/x/y?q=/", "/z?w", "http://a.com:81/z?w"},
      {"http://a.com/x/y?q=/p", "z", "http://a.com/x/z"},
      {"http://a.com/x/y", "../../../z", "http://a.com/z"},
      {"http://a.com/x/y", "?n", "http://a.com/x/y?n"},
      {"http://a.com/x", "https:b.com/", "https://b.com/"},
      {"http://a.com/x", " \t//c.com\\d#f", "http://c.com/d"},
      {"http://a.com/x", "/\xD3\xA6\xD3\xC3", "http://a.com/%E5%BA%94%E7%94%A8"},
      {"http://a.com/x", "/caf\xC3\xA9", "http://a.com/caf%C3%A9"},  // UTF-8 first
      {"http://a.com/x", "http://1.2.3.4.5/", ""},
      {"http://a.com/x", "mailto:a@b.com", ""},
  };
  for (const auto& r : rows) {
    const ParsedAddress next = ResolveLocation(r.base, r.location);
    EXPECT_EQ(next ? next.address.RequestAddress() : "", r.want) << r.base << " " << r.location;
  }
}

}  // namespace
}  // namespace tobrine
