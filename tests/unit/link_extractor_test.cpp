// The whole lookup in MainForm on the build's backend against the sample
// distribution sites of tests/e2e/sites, served on 127.0.0.1 by the fixture
// server.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "fixture_server.h"
#include "platform/window_backend.h"
#include "runtime/commands.h"
#include "test_platform.h"
#include "window/main_form.h"
#include "window/result_list.h"
#include "window/startup.h"
#include "window_fixture.h"

namespace tobrine {
namespace {

// UTF-8 bytes as they come from a page, whatever the execution character set.
std::string Utf8(const char8_t* s) {
  return reinterpret_cast<const char*>(s);
}

class LinkExtractorRun : public test::LoadedMainForm {
 protected:
  // The fallback's manifests are fetched over HTTPS; the fixture's throwaway CA
  // is trusted.
  static const test::Fixture& Server() { return test::FixtureServer(); }

  void SetUp() override {
    ASSERT_TRUE(Server().ok) << "fixture server: " << Server().error;
    test::LoadedMainForm::SetUp();
  }

  std::vector<BoundHandler> Handlers() override { return window::ProgramHandlerTable(); }

  // Types the address, clicks "获取" and lets the whole lookup run. Returns the
  // rows as "number<TAB>link" lines and what the closing boxes wrote.
  std::string Run(const std::string& address, std::string* boxes = nullptr, int clicks = 1) {
    platform::SetNativeText(Control(window::kEditBox1), address);
    const std::string shown = test::MessageBoxesDuring([&] {
      for (int i = 0; i < clicks; ++i) test::PostClick(Control(window::kButton1));
      ProcessEvents();
    });
    if (boxes) *boxes = shown;
    std::string rows;
    const int32_t count = platform::ListRowCount(Control(window::kReportList1));
    for (int32_t row = 0; row < count; ++row) {
      rows += std::string(
                  window::GetCellText(window::kMainFormId, window::kReportList1, row, 0).view()) +
              "\t" +
              std::string(
                  window::GetCellText(window::kMainFormId, window::kReportList1, row, 1).view()) +
              "\n";
    }
    return rows;
  }

  static int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
  }
};

// The closing box as MessageBoxesDuring reports it.
const std::string kClosingBox = Utf8(u8"[信息：] 获取完成！！");

TEST_F(LinkExtractorRun, EveryPathOfAPage) {
  const std::string hostPort = "127.0.0.1:" + std::to_string(Server().http);
  struct Row {
    const char* what;
    std::string path;
    std::string want;
  } rows[] = {
      {"variant A: codes from download('...') after the manifest prefix", "/variant_a/",
       "1\thttps://dl.example.com/apps/a1.ipa\n2\thttps://dl.example.com/apps/a2.ipa\n"
       "3\thttps://dl.example.com/apps/a3.ipa\n"},
      {"variant A without a prefix: each code + .plist fetched as http://", "/variant_a_noprefix/",
       "1\thttps://dl.example.com/apps/a1.ipa\n2\thttps://dl.example.com/apps/a2.ipa\n"},
      {"variant B in page order; failing, empty and short manifests give no row; a duplicate "
       "is listed again; the first <string>http entry wins",
       "/variant_b/",
       "1\thttp://dl.example.com/b1.ipa\n2\thttps://dl.example.com/first.ipa\n"
       "3\thttp://dl.example.com/b1.ipa\n"},
      {"the script marker at the very first byte takes variant B", "/variant_b_first/",
       "1\thttp://dl.example.com/b1.ipa\n2\thttps://dl.example.com/b2.ipa\n"},
      {"fallback 1: href + quote + https://, fetched over HTTPS", "/fallback1/",
       "1\thttps://dl.example.com/f1.ipa\n"},
      {"fallback 2: up to a double quote, no .plist added", "/fallback2/",
       "1\thttps://dl.example.com/f2.ipa\n2\thttps://dl.example.com/f2.ipa\n"},
      {"a page without any marker", "/no-such-site/", ""},
      {"the markers' rows, then the second reading's, numbered on", "/mixed/",
       "1\thttp://dl.example.com/b1.ipa\n2\thttps://dl.example.com/b2.ipa\n"
       "3\thttps://dl.example.com/one-arm64.ipa\n4\thttps://dl.example.com/one-armv7.ipa\n"
       "5\thttps://dl.example.com/two.ipa?a=1&b=2\n6\thttps://dl.example.com/get?f=amp.ipa&t=x\n"
       "7\thttps://dl.example.com/icon-first.ipa\n8\thttps://dl.example.com/noext.ipa?sig=a&b\n"},
      {"a page shown to iPhones only", "/iphone/iphone_only/",
       "1\thttps://dl.example.com/noext.ipa?sig=a&b\n"},
      {"a manifest's own address", "/m/multi.plist",
       "1\thttps://dl.example.com/one-arm64.ipa\n2\thttps://dl.example.com/one-armv7.ipa\n"
       "3\thttps://dl.example.com/two.ipa?a=1&b=2\n"},
  };
  for (const auto& r : rows) {
    std::string boxes;
    EXPECT_EQ(Run(Server().Http(r.path), &boxes), r.want) << r.what;
    EXPECT_EQ(Count(boxes, kClosingBox), 1) << r.what << "\n" << boxes;
  }
}

TEST_F(LinkExtractorRun, Utf8PageBytesCopiedAsTheyStand) {
  if (!test::ListsKeepEveryByte()) {
    GTEST_SKIP() << "a real list control holds UTF-16: the UTF-8 bytes of a link are no code "
                    "page 936 text and do not come back as they went in";
  }
  std::string boxes;
  EXPECT_EQ(Run(Server().Http("/chinese/"), &boxes),
            "1\thttp://dl.example.com/b1.ipa\n2\t" + Utf8(u8"https://cdn.example.com/应用/二.ipa") +
                "\n");
  EXPECT_EQ(Count(boxes, kClosingBox), 1) << boxes;
}

TEST_F(LinkExtractorRun, PastedInstallLinkIsLookedUpDirectly) {
  std::string boxes;
  EXPECT_EQ(Run("itms-services://?action=download-manifest&url=" + Server().Http("/m/icon-first"),
                &boxes),
            "1\thttps://dl.example.com/icon-first.ipa\n");
  EXPECT_EQ(Count(boxes, kClosingBox), 1) << boxes;
}

TEST_F(LinkExtractorRun, EmptyOrUnreachableAddressStillCloses) {
  for (const std::string& address :
       {std::string(), std::string("   "), std::string("http://127.0.0.1:1/page")}) {
    std::string boxes;
    EXPECT_EQ(Run(address, &boxes), "") << "'" << address << "'";
    EXPECT_EQ(Count(boxes, kClosingBox), 1) << "'" << address << "'";
  }
}

TEST_F(LinkExtractorRun, AddressBoxKeepsItsTextWithoutAScheme) {
  const std::string address = "127.0.0.1:" + std::to_string(Server().http) + "/variant_b_first/";
  EXPECT_EQ(Run(address), "1\thttp://dl.example.com/b1.ipa\n2\thttps://dl.example.com/b2.ipa\n");
  EXPECT_EQ(platform::GetNativeText(Control(window::kEditBox1)), address);
}

TEST_F(LinkExtractorRun, EachRunStartsFromAnEmptyList) {
  Run(Server().Http("/variant_b/"));
  EXPECT_EQ(Run(Server().Http("/fallback2/")),
            "1\thttps://dl.example.com/f2.ipa\n2\thttps://dl.example.com/f2.ipa\n");
}

TEST_F(LinkExtractorRun, RowsAppearOneByOneAsManifestsArrive) {
  std::vector<std::string> seen;
  if (!test::ObserveLists(
          [&](test::ListChange change, int32_t row, const std::vector<std::string>& cells) {
            if (change == test::ListChange::kCellSet && cells.size() > 1 && !cells[1].empty())
              seen.push_back(std::to_string(row) + ":" + cells[0]);
          })) {
    GTEST_SKIP() << "real list controls report no row changes to an observer (the headless "
                    "backend offers one for the command line)";
  }
  Run(Server().Http("/variant_b/"));
  EXPECT_EQ(seen, (std::vector<std::string>{"0:1", "1:2", "2:3"}));
}

// A manifest that outlasts the fetch's 60-second time-out gives the notice text,
// which holds no link: no row, and the next manifest's row is number 1.
TEST_F(LinkExtractorRun, ManifestThatTimesOutGivesNoRow) {
  std::string boxes;
  EXPECT_EQ(Run(Server().Http("/timeout/"), &boxes), "1\thttp://dl.example.com/b1.ipa\n");
  EXPECT_EQ(Count(boxes, kClosingBox), 1) << boxes;
}

// A second click while the first run waits for its (slow) page runs a complete
// lookup nested inside; the outer run then appends its rows after the nested
// run's rows and numbers them on. Both clicks are queued at once: the second is
// dispatched by the first run's waiting fetch.
TEST_F(LinkExtractorRun, ClickDuringAFetchRunsANestedLookup) {
  std::string boxes;
  std::string rows = Run(Server().Http("/slow/1500/variant_b_first/"), &boxes, 2);
  EXPECT_EQ(rows,
            "1\thttp://dl.example.com/b1.ipa\n2\thttps://dl.example.com/b2.ipa\n"
            "3\thttp://dl.example.com/b1.ipa\n4\thttps://dl.example.com/b2.ipa\n");
  EXPECT_EQ(Count(boxes, kClosingBox), 2) << boxes;
}

// A second click while the first run waits for its manifests (six, each
// answered after 600 ms) runs a complete nested lookup: it clears the list,
// lists its six rows and closes; then the first run appends its six after them,
// numbered on.
TEST_F(LinkExtractorRun, ClickWhileManifestsAreFetchedRunsANestedLookup) {
  test::MessageProbe clickAgain([&] { test::PostClick(Control(window::kButton1)); });
  std::thread poster([&] {
    Server().WaitUntilHeld(1);  // the manifests are being fetched
    clickAgain.Post();
  });
  std::string boxes;
  const std::string rows = Run(Server().Http("/many/6/600/"), &boxes);
  poster.join();
  std::string want;
  for (int run = 0; run < 2; ++run) {
    for (int k = 1; k <= 6; ++k) {
      want += std::to_string(run * 6 + k) + "\thttp://dl.example.com/got/echo-manifest/late/600/" +
              std::to_string(k) + ".plist\n";
    }
  }
  EXPECT_EQ(rows, want);
  EXPECT_EQ(Count(boxes, kClosingBox), 2) << boxes;
}

}  // namespace
}  // namespace tobrine
