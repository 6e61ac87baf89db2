// The whole lookup without a window, on both builds, against the sample sites
// of tests/e2e/sites served on 127.0.0.1 by the fixture server.
#include "lookup/lookup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fixture_server.h"
#include "platform/system.h"
#include "reader_test_support.h"
#include "test_platform.h"
#include "web/web_access.h"

namespace tobrine::lookup {
namespace {

std::vector<PackageRow> LookUp(const std::string& address) {
  std::vector<PackageRow> rows;
  LookUpPackages(TextValue::FromBytes(address), [&](const PackageRow& r) { rows.push_back(r); });
  return rows;
}

char SourceLetter(PackageSource s) {
  switch (s) {
    case PackageSource::kMarkers:
      return 'M';
    case PackageSource::kSecondReading:
      return '2';
    case PackageSource::kPageManifest:
      return 'P';
    case PackageSource::kPastedLink:
      return 'L';
  }
  return '?';
}

// One line per package: how it was found (M markers, 2 second reading, P the
// page is a manifest, L a pasted link; * after the iPhone's fetch) and its link.
std::string Lines(const std::vector<PackageRow>& rows) {
  std::string out;
  for (const auto& r : rows)
    out += std::string(1, SourceLetter(r.source)) + (r.iphonePage ? "*" : "") + " " + r.link + "\n";
  return out;
}

std::string Utf8(const char8_t* s) {
  return reinterpret_cast<const char*>(s);
}

class Lookup : public testing::Test {
 protected:
  void SetUp() override {
    if (!sites.ok) GTEST_FAIL() << "fixture server: " << sites.error;
  }
  const test::Fixture& sites = test::FixtureServer();
};

TEST_F(Lookup, EveryShapeOfASite) {
  const std::string got = "http://dl.example.com/got/echo-manifest/";
  struct {
    const char* what;
    std::string address;
    std::string want;
  } rows[] = {
      {"markers' rows first, then the second reading's (the link a script builds from a "
       "variable too), each manifest fetched once",
       sites.Http("/mixed/"),
       "M http://dl.example.com/b1.ipa\n2 https://dl.example.com/b2.ipa\n"
       "2 https://dl.example.com/one-arm64.ipa\n"
       "2 https://dl.example.com/one-armv7.ipa\n2 https://dl.example.com/two.ipa?a=1&b=2\n"
       "2 https://dl.example.com/get?f=amp.ipa&t=x\n2 https://dl.example.com/icon-first.ipa\n"
       "2 https://dl.example.com/noext.ipa?sig=a&b\n"},
      {"the markers' duplicates stay; nothing new for the second reading",
       sites.Http("/variant_b/"),
       "M http://dl.example.com/b1.ipa\nM https://dl.example.com/first.ipa\n"
       "M http://dl.example.com/b1.ipa\n"},
      {"a script-built page: the run-time address gives nothing more", sites.Http("/variant_a/"),
       "M https://dl.example.com/apps/a1.ipa\nM https://dl.example.com/apps/a2.ipa\n"
       "M https://dl.example.com/apps/a3.ipa\n"},
      {"fallback 2's addresses are not fetched again", sites.Http("/fallback2/"),
       "M https://dl.example.com/f2.ipa\nM https://dl.example.com/f2.ipa\n"},
      {"UTF-8 link bytes kept as they stand", sites.Http("/chinese/"),
       "M http://dl.example.com/b1.ipa\nM " + Utf8(u8"https://cdn.example.com/应用/二.ipa") + "\n"},
      {"a page shown to iPhones only", sites.Http("/iphone/iphone_only/"),
       "2* https://dl.example.com/noext.ipa?sig=a&b\n"},
      {"the address of a manifest", sites.Http("/m/multi.plist"),
       "P https://dl.example.com/one-arm64.ipa\nP https://dl.example.com/one-armv7.ipa\n"
       "P https://dl.example.com/two.ipa?a=1&b=2\n"},
      {"a pasted install link",
       " itms-services://?action=download-manifest&url=" + sites.Http("/m/icon-first") + " ",
       "L https://dl.example.com/icon-first.ipa\n"},
      {"non-ASCII bytes reach the server percent-encoded (UTF-8 page)", sites.Http("/nonascii/"),
       "M " + got + "%E5%BA%94%E7%94%A8.plist\n2 " + got +
           "%E4%BA%8C%20%E5%8F%B7.plist?%E5%90%8D=%E5%80%BC\n"},
      {"non-ASCII bytes reach the server as UTF-8, percent-encoded (GBK page)",
       sites.Http("/nonascii_gbk/"), "2 " + got + "%E5%BA%94%E7%94%A8.plist\n"},
      {"no page", sites.Http("/no-such-site/"), ""},
      {"a page whose first byte is NUL: read as empty, fetched again as an iPhone",
       sites.Http("/respond?body=%00download-manifest%26url%3D") + sites.Http("/m/b1.plist"), ""},
  };
  for (const auto& r : rows) EXPECT_EQ(Lines(LookUp(r.address)), r.want) << r.what;
}

// A GBK page whose manifest address has a full-width host and a Chinese path:
// requested as a browser requests it (the host through UTS #46, the path as
// UTF-8) and listed as fetched.
TEST_F(Lookup, GbkPageWithChineseHostAndPath) {
  const std::string port = std::to_string(sites.http);
  // Literals are code page 936 bytes: the page is GBK.
  const std::string page = "<p>download-manifest&url=http://ｌｏｃａｌｈｏｓｔ:" + port +
                           "/echo-manifest/应用/清单.plist</p>";
  std::string body;
  for (char c : page) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    body += '%';
    body += kHex[static_cast<unsigned char>(c) >> 4];
    body += kHex[c & 15];
  }
  auto fetch = [](const std::string& address) {
    TextValue a = TextValue::FromBytes(address);
    return std::string(WebAccess(a).bytes());
  };
  const std::string target = "/echo-manifest/%E5%BA%94%E7%94%A8/%E6%B8%85%E5%8D%95.plist";
  fetch(sites.Http("/__requests?clear=1"));
  const std::vector<PackageRow> rows = LookUp(sites.Http("/respond?body=" + body));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].link, "http://dl.example.com/got" + target);
  EXPECT_EQ(rows[0].manifest, "http://localhost:" + port + target);
  EXPECT_NE(fetch(sites.Http("/__requests"))
                .find("GET " + target + " HTTP/1.1\r\nHost: localhost:" + port + "\r\n"),
            std::string::npos);
}

// A page of a megabyte or more is read the second way on a worker while the
// markers read it; the rows are those of the same page read in turn.
TEST_F(Lookup, ALargePageReadTwoWaysAtOnceGivesTheSameRows) {
  for (const char* site : {"/mixed/", "/variant_b/", "/variant_a/", "/fallback2/", "/chinese/",
                           "/iphone/iphone_only/", "/nonascii/", "/nonascii_gbk/"}) {
    const std::string small = Lines(LookUp(sites.Http(site)));
    ASSERT_FALSE(small.empty()) << site;
    EXPECT_EQ(Lines(LookUp(sites.Http(std::string("/padded") + site))), small) << site;
  }
}

// Every byte percent-encoded: a body for the fixture's /respond, or a text that
// is percent-decoded once on its way.
std::string Percent(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

TEST_F(Lookup, ManifestsHoldingNulBytesAreReadWhole) {
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-16\"?><plist version=\"1.0\"><dict><key>items</key>"
      "<array><dict><key>assets</key><array><dict><key>kind</key><string>software-package</string>"
      "<key>url</key><string>https://h.example/u.ipa</string></dict></array></dict></array>"
      "</dict></plist>";
  struct {
    const char* what;
    std::string manifest;
    std::string want;
  } rows[] = {
      {"the binary form", test::BinaryManifest(), "L https://h.example/b.ipa\n"},
      {"UTF-16", test::Utf16(xml, false, true), "L https://h.example/u.ipa\n"},
  };
  for (const auto& r : rows) {
    const std::string manifestAddress = sites.Http("/respond?body=" + Percent(r.manifest));
    const std::string link =
        "itms-services://?action=download-manifest&url=" + Percent(manifestAddress);
    EXPECT_EQ(Lines(LookUp(link)), r.want) << r.what;
  }
}

// Pages whose install link a script builds: from constants on the page (a
// row), or with a part only the run time knows (nothing: no part of it is
// fetched); and a link whose manifest address goes on after ".plist", which the
// markers cut there. A dry run tells what would be fetched.
TEST_F(Lookup, LinksAScriptBuildsAndAddressesCutByTheMarkers) {
  const std::string base = sites.Http("");
  const std::string link = "itms-services://?action=download-manifest&url=";
  struct {
    const char* what;
    std::string page;
    std::string rows, fetched;
  } rows[] = {
      {"a template over a configuration object: the second reading's row, no \"${\" fetched",
       "<script>const CONFIG = {base: '" + base + "'};\nlocation.href = `" + link +
           "${CONFIG.base}/m/b1.plist`;</script>",
       "2 http://dl.example.com/b1.ipa\n", base + "/m/b1.plist\n"},
      {"a part known at run time only: nothing, its beginning not fetched",
       "<script>var prefix = \"" + link + base +
           "/m/\";\nlocation = prefix + name + \".plist\";"
           "</script>",
       "", ""},
      {"a part known at run time only, on one line: the markers' address past its quote not "
       "fetched either",
       "<script>location = \"" + link + base + "/m/\" + name + \".plist\";\nlocation = '" + link +
           base + "/m/' + name + '.plist';</script>",
       "", ""},
      {"a template's placeholder never filled in: neither reading fetches it",
       "<a ng-href=\"" + link + base + "/m/{{app.id}}.plist\">", "", ""},
      {"a query after .plist: fetched and listed once, as the markers cut it",
       "<a href=\"" + link + base + "/m/b1.plist?x=1\">", "M http://dl.example.com/b1.ipa\n",
       base + "/m/b1.plist\n"},
  };
  for (const auto& r : rows) {
    const std::string page = sites.Http("/respond?body=" + Percent(r.page));
    EXPECT_EQ(Lines(LookUp(page)), r.rows) << r.what;
    LookupOptions dryRun;
    dryRun.fetchManifests = false;
    std::string fetched;
    LookUpPackages(
        TextValue::FromBytes(page), [&](const PackageRow& row) { fetched += row.manifest + "\n"; },
        dryRun);
    EXPECT_EQ(fetched, r.fetched) << r.what;
  }
}

TEST_F(Lookup, EachRowTellsItsPageManifestAndApp) {
  const std::vector<PackageRow> rows = LookUp(sites.Http("/mixed/"));
  ASSERT_EQ(rows.size(), 8u) << Lines(rows);
  const std::string page = sites.Http("/mixed/");
  struct {
    std::string manifest, title, bundleId, version;
  } want[] = {
      {sites.Http("/m/b1.plist"), "", "", ""},
      {sites.Http("/m/b2.plist"), "", "", ""},
      {sites.Http("/m/multi.plist"), "One", "com.example.one", "1.0"},
      {sites.Http("/m/multi.plist"), "One", "com.example.one", "1.0"},
      {sites.Http("/m/multi.plist"), "Two & Co", "com.example.two", "3.4.5"},
      {sites.Http("/m/amp.plist"), "", "", ""},
      {sites.Http("/m/icon-first"), Utf8(u8"图标在前"), "com.example.iconfirst", "2.1"},
      {sites.Http("/m/noext?id=7"), "No extension", "", ""},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].page, page) << i;
    EXPECT_EQ(rows[i].manifest, want[i].manifest) << i;
    EXPECT_EQ(rows[i].title, want[i].title) << i;
    EXPECT_EQ(rows[i].bundleId, want[i].bundleId) << i;
    EXPECT_EQ(rows[i].version, want[i].version) << i;
    EXPECT_FALSE(rows[i].iphonePage) << i;
  }
}

TEST_F(Lookup, AddressWithoutSchemeAndPastedLinkRows) {
  const std::string hostPort = "127.0.0.1:" + std::to_string(sites.http);
  std::vector<PackageRow> rows = LookUp(hostPort + "/iphone/iphone_only/");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].page, "http://" + hostPort + "/iphone/iphone_only/");
  EXPECT_EQ(rows[0].manifest, sites.Http("/m/noext?id=7"));
  EXPECT_TRUE(rows[0].iphonePage);

  const std::string link =
      "ITMS-SERVICES://?action=download-manifest&url=" + sites.Http("/m/amp.plist");
  rows = LookUp(link);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].page, link);
  EXPECT_EQ(rows[0].manifest, sites.Http("/m/amp.plist"));
}

// Twenty manifests, each answered after 200 ms: fetched side by side (the
// server counts how many it holds at once; one at a time would take over 4 s),
// listed exactly as one at a time would list them.
TEST_F(Lookup, ManifestsFetchedSideBySide) {
  LookUp(sites.Http("/many/1/0/"));  // the first lookup sets up what the later ones use
  sites.HeldResponses(true);
  const uint32_t start = platform::TickCount();
  const std::vector<PackageRow> rows = LookUp(sites.Http("/many/20/200/"));
  const uint32_t elapsed = platform::TickCount() - start;
  std::string want;
  for (int k = 1; k <= 20; ++k)
    want += "M http://dl.example.com/got/echo-manifest/late/200/" + std::to_string(k) + ".plist\n";
  EXPECT_EQ(Lines(rows), want);
  const int atOnce = sites.HeldResponses().peak;
  EXPECT_GE(atOnce, 2) << "side by side";
  EXPECT_LE(atOnce, kFetchesInFlight);
  RecordProperty("twenty_manifests_ms", static_cast<int>(elapsed));
  RecordProperty("manifests_at_once", atOnce);
}

// How many connections a port of the fixture server has accepted so far.
int Connections(const test::Fixture& f, const std::string& port) {
  TextValue address = TextValue::FromBytes(f.Http("/__connections?port=" + port));
  return std::atoi(std::string(WebAccess(address).bytes()).c_str());
}

// Each address is looked up twice, after the server has ended the
// connections it kept: the rows are those of any other lookup, and the two
// lookups together open from 1 to `mostOpened` connections.
void ExpectConnectionsShared(const test::Fixture& f, const std::string& port,
                             const std::string& address, const std::string& rows, int mostOpened) {
  TextValue close = TextValue::FromBytes(f.Http("/__close?port=" + port));
  WebAccess(close);
  const int before = Connections(f, port);
  for (int lookup : {1, 2}) EXPECT_EQ(Lines(LookUp(address)), rows) << address << ", " << lookup;
  const int opened = Connections(f, port) - before;
  EXPECT_LE(opened, mostOpened) << address;
  EXPECT_GE(opened, 1) << address;
}

// Over HTTP/2 the page and all its manifests go over one connection, and the
// next lookup takes it too.
TEST_F(Lookup, FetchesShareOneHttp2Connection) {
  if (test::kUnderWine) GTEST_SKIP() << "WinINet under Wine speaks HTTP/1.1 only, nghttpd HTTP/2";
  std::string rows;
  for (int k = 1; k <= 8; ++k) rows += "M http://dl.example.com/" + std::to_string(k) + ".ipa\n";
  ExpectConnectionsShared(sites, "h2", sites.Http2("/page8.html"), rows, 1);
}

// Over HTTP/1.1 a manifest takes the page's connection, the other, when fetched
// at the same time, one of its own, and the next lookup takes those two.
TEST_F(Lookup, FetchesShareHttp11Connections) {
  const std::string got = "M http://dl.example.com/got/echo-manifest/";
  ExpectConnectionsShared(sites, "keepalive", sites.KeepAlive("/samehost/2/"),
                          got + "1.plist\n" + got + "2.plist\n", 2);
}

// A script-built page builds each manifest address when it is fetched: a
// 1 MB prefix and 20,000 codes would take 20 GB (and minutes) all at once.
TEST(ManifestLinks, ScriptBuiltAddressesAreBuiltOneAtATime) {
  const std::string prefix = "http://127.0.0.1:1/" + std::string(1 << 20, 'p');
  std::string page =
      "<script>var a = \"x\" + tag +\"y\";\nvar u = 'download-manifest&url=" + prefix + "';\n";
  constexpr int kCodes = 20000;
  for (int k = 1; k <= kCodes; ++k) page += "download('c" + std::to_string(k) + "');\n";
  TextValue text = TextValue::FromBytes(page);
  test::ResidentPeak peak;
  const uint32_t start = platform::TickCount();
  const ManifestLinks links = MarkerManifestLinks(text);
  const uint32_t elapsed = platform::TickCount() - start;
  ASSERT_EQ(links.count(), kCodes);
  EXPECT_LT(elapsed, 1000u) << "the reading takes time in the page's size, not prefix x codes";
  for (int k : {1, 2, 9999, kCodes}) {
    const TextValue address = links.At(k);
    EXPECT_EQ(address.view(), prefix + "c" + std::to_string(k) + ".plist");
  }
  EXPECT_LT(peak.Growth(), uint64_t{64} << 20);
}

// What a front end other than the window asks of a lookup: its own agent
// string, a dry run, and every fetch that failed.
TEST_F(Lookup, OptionsOfAFrontEnd) {
  std::vector<LookupFailure> failures;
  std::string told;  // rows and failures in the order told: manifest addresses
  LookupOptions options;
  options.onFailure = [&](const LookupFailure& f) {
    failures.push_back(f);
    told += "failed " + f.address + "\n";
  };
  auto lookUp = [&](const std::string& address) {
    failures.clear();
    told.clear();
    std::vector<PackageRow> rows;
    LookUpPackages(
        TextValue::FromBytes(address),
        [&](const PackageRow& r) {
          rows.push_back(r);
          told += r.manifest + "\n";
        },
        options);
    return rows;
  };

  // Both fetches of a missing page fail, and say so.
  EXPECT_EQ(lookUp(sites.Http("/no-such-site/")).size(), 0u);
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].stage, FetchStage::kPage);
  EXPECT_EQ(failures[1].stage, FetchStage::kIphonePage);
  for (const LookupFailure& f : failures) {
    EXPECT_EQ(f.address, sites.Http("/no-such-site/"));
    EXPECT_EQ(f.outcome.failure, FetchFailure::kHttpStatus);
    EXPECT_EQ(f.outcome.httpStatus, 404);
  }

  // A missing manifest is told; the rows of the others still come.
  EXPECT_EQ(Lines(lookUp(sites.Http("/variant_b/"))),
            "M http://dl.example.com/b1.ipa\nM https://dl.example.com/first.ipa\n"
            "M http://dl.example.com/b1.ipa\n");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].stage, FetchStage::kManifest);
  EXPECT_EQ(failures[0].address, sites.Http("/m/missing.plist"));
  // Told in the order of the addresses, although the manifests are fetched
  // side by side.
  EXPECT_EQ(told, sites.Http("/m/b1.plist\nfailed ") + sites.Http("/m/missing.plist\n") +
                      sites.Http("/m/two.plist\n") + sites.Http("/m/b1.plist\n"));

  // A dry run tells each manifest address as fetched, with no link, and fetches
  // none (the missing manifest fails nothing).
  options.fetchManifests = false;
  std::vector<PackageRow> rows = lookUp(sites.Http("/variant_b/"));
  std::string manifests;
  for (const PackageRow& r : rows) manifests += r.manifest + (r.link.empty() ? "\n" : " link!\n");
  EXPECT_EQ(manifests, sites.Http("/m/b1.plist\n") + sites.Http("/m/nolink.plist\n") +
                           sites.Http("/m/missing.plist\n") + sites.Http("/m/short.plist\n") +
                           sites.Http("/m/two.plist\n") + sites.Http("/m/b1.plist\n"));
  EXPECT_TRUE(failures.empty());

  // The agent string of every fetch, here named by the page's manifest address.
  options.agent = "Test Agent/1.0";
  rows = lookUp(sites.Http("/agent-page"));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].manifest, sites.Http("/m/Test%20Agent%2F1.0.plist"));
}

}  // namespace
}  // namespace tobrine::lookup
