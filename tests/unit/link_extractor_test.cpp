// The whole lookup on the headless windows against the sample distribution sites
// of tests/e2e/sites, served on 127.0.0.1 by tests/e2e/site_server.py.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/form_description.h"
#include "app/startup.h"
#include "platform/posix/headless_window.h"
#include "platform/window_backend.h"
#include "runtime/commands.h"
#include "window_fixture.h"

extern char** environ;

namespace tobrine {
namespace {

struct SiteServer {
  pid_t pid = 0;
  int http = 0, https = 0;
  std::string ca;

  bool Start() {
    int out[2];
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string script = std::string(TOBRINE_SOURCE_DIR) + "/tests/e2e/site_server.py";
    const char* argv[] = {"python3", script.c_str(), "--tls", "--lifetime", "600", nullptr};
    int rc = posix_spawnp(&pid, "python3", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) return false;
    FILE* f = fdopen(out[0], "r");
    char line[1024] = "";
    bool ok = f && std::fgets(line, sizeof line, f);
    if (f) std::fclose(f);
    if (!ok) return false;
    std::string json = line;
    auto number = [&](const char* key) {
      auto p = json.find(std::string("\"") + key + "\": ");
      return p == std::string::npos ? 0 : std::atoi(json.c_str() + p + std::strlen(key) + 4);
    };
    http = number("http");
    https = number("https");
    auto p = json.find("\"ca\": \"");
    if (p != std::string::npos) ca = json.substr(p + 7, json.find('"', p + 7) - p - 7);
    return http > 0 && https > 0 && !ca.empty();
  }
  void Stop() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(http) + path;
  }
};

// UTF-8 bytes as they come from a page, whatever the execution character set.
std::string Utf8(const char8_t* s) {
  return reinterpret_cast<const char*>(s);
}

class LinkExtractorRun : public test::LoadedMainForm {
 protected:
  static inline SiteServer server;

  static void SetUpTestSuite() {
    ASSERT_TRUE(server.Start()) << "cannot start tests/e2e/site_server.py";
    // The fallback's manifests are fetched over HTTPS with the server's throwaway CA.
    setenv("SSL_CERT_FILE", server.ca.c_str(), 1);
  }
  static void TearDownTestSuite() { server.Stop(); }

  std::vector<BoundHandler> Handlers() override { return app::ProgramHandlerTable(); }

  // Types the address, clicks "获取" and lets the whole lookup run. Returns the
  // rows as "number<TAB>link" lines and what the closing boxes wrote.
  std::string Run(const std::string& address, std::string* boxes = nullptr) {
    platform::SetNativeText(Control(app::kEditBox1), address);
    testing::internal::CaptureStderr();
    headless::PostClick(Control(app::kButton1));
    ProcessEvents();
    std::string err = testing::internal::GetCapturedStderr();
    if (boxes) *boxes = err;
    std::string rows;
    for (const auto& r : headless::Rows(Control(app::kReportList1)))
      rows += r.at(0) + "\t" + r.at(1) + "\n";
    return rows;
  }

  static int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
  }
};

// What the closing box writes where there is no desktop.
const std::string kClosingBox = Utf8(u8"[信息：] 获取完成！！");

TEST_F(LinkExtractorRun, EveryPathOfAPage) {
  const std::string hostPort = "127.0.0.1:" + std::to_string(server.http);
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
      {"a UTF-8 page with Chinese text: bytes copied as they stand", "/chinese/",
       "1\thttp://dl.example.com/b1.ipa\n2\t" + Utf8(u8"https://cdn.example.com/应用/二.ipa") +
           "\n"},
      {"a page without any marker", "/no-such-site/", ""},
      {"the markers' rows, then the second reading's, numbered on", "/mixed/",
       "1\thttp://dl.example.com/b1.ipa\n2\thttps://dl.example.com/one-arm64.ipa\n"
       "3\thttps://dl.example.com/one-armv7.ipa\n4\thttps://dl.example.com/two.ipa?a=1&b=2\n"
       "5\thttps://dl.example.com/get?f=amp.ipa&t=x\n6\thttps://dl.example.com/icon-first.ipa\n"
       "7\thttps://dl.example.com/noext.ipa?sig=a&b\n"},
      {"a page shown to iPhones only", "/iphone/iphone_only/",
       "1\thttps://dl.example.com/noext.ipa?sig=a&b\n"},
      {"a manifest's own address", "/m/multi.plist",
       "1\thttps://dl.example.com/one-arm64.ipa\n2\thttps://dl.example.com/one-armv7.ipa\n"
       "3\thttps://dl.example.com/two.ipa?a=1&b=2\n"},
  };
  for (const auto& r : rows) {
    std::string boxes;
    EXPECT_EQ(Run(server.Url(r.path), &boxes), r.want) << r.what;
    EXPECT_EQ(Count(boxes, kClosingBox), 1) << r.what << "\n" << boxes;
  }
}

TEST_F(LinkExtractorRun, PastedInstallLinkIsLookedUpDirectly) {
  std::string boxes;
  EXPECT_EQ(
      Run("itms-services://?action=download-manifest&url=" + server.Url("/m/icon-first"), &boxes),
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
  const std::string address = "127.0.0.1:" + std::to_string(server.http) + "/variant_b_first/";
  EXPECT_EQ(Run(address), "1\thttp://dl.example.com/b1.ipa\n2\thttps://dl.example.com/b2.ipa\n");
  EXPECT_EQ(platform::GetNativeText(Control(app::kEditBox1)), address);
}

TEST_F(LinkExtractorRun, EachRunStartsFromAnEmptyList) {
  Run(server.Url("/variant_b/"));
  EXPECT_EQ(Run(server.Url("/fallback2/")),
            "1\thttps://dl.example.com/f2.ipa\n2\thttps://dl.example.com/f2.ipa\n");
}

TEST_F(LinkExtractorRun, RowsAppearOneByOneAsManifestsArrive) {
  std::vector<std::string> seen;
  headless::SetListObserver([&](platform::NativeWindow, headless::ListChange change, int32_t row,
                                const std::vector<std::string>& cells) {
    if (change == headless::ListChange::kCellSet && cells.size() > 1 && !cells[1].empty())
      seen.push_back(std::to_string(row) + ":" + cells[0]);
  });
  Run(server.Url("/variant_b/"));
  EXPECT_EQ(seen, (std::vector<std::string>{"0:1", "1:2", "2:3"}));
}

// A manifest that outlasts the fetch's 60-second time-out gives the notice text,
// which holds no link: no row, and the next manifest's row is number 1.
TEST_F(LinkExtractorRun, ManifestThatTimesOutGivesNoRow) {
  std::string boxes;
  EXPECT_EQ(Run(server.Url("/timeout/"), &boxes), "1\thttp://dl.example.com/b1.ipa\n");
  EXPECT_EQ(Count(boxes, kClosingBox), 1) << boxes;
}

// A second click while the first run waits for its (slow) page runs a complete
// lookup nested inside; the outer run then appends its rows after the nested
// run's rows and numbers them on.
TEST_F(LinkExtractorRun, ClickDuringAFetchRunsANestedLookup) {
  platform::NativeWindow button = Control(app::kButton1);
  std::thread second([button] {
    usleep(400 * 1000);
    headless::PostClick(button);
  });
  std::string boxes;
  std::string rows = Run(server.Url("/slow/1500/variant_b_first/"), &boxes);
  second.join();
  EXPECT_EQ(rows,
            "1\thttp://dl.example.com/b1.ipa\n2\thttps://dl.example.com/b2.ipa\n"
            "3\thttp://dl.example.com/b1.ipa\n4\thttps://dl.example.com/b2.ipa\n");
  EXPECT_EQ(Count(boxes, kClosingBox), 2) << boxes;
}

}  // namespace
}  // namespace tobrine
