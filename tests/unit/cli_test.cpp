// The command line's option reading and its terminal-safe output (Linux).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/download.h"
#include "cli/options.h"
#include "cli/output.h"

namespace tobrine::cli {
namespace {

// One line per command line: what it reads as, or "error: ...".
std::string Read(const std::vector<std::string>& args) {
  const ParsedCommandLine p = ParseCommandLine(args);
  if (!p.error.empty()) return "error: " + p.error;
  const Options& o = p.options;
  std::string out;
  if (o.help) out += "help ";
  if (o.version) out += "version ";
  if (o.json) out += "json ";
  if (o.manifestsOnly) out += "manifests ";
  if (o.agent == AgentChoice::kIphone) out += "agent=ios ";
  if (o.agent == AgentChoice::kCustom) out += "agent=[" + o.customAgent + "] ";
  if (o.timeoutSeconds) out += "timeout=" + std::to_string(*o.timeoutSeconds) + " ";
  if (o.downloadDir) out += "dir=[" + *o.downloadDir + "] ";
  for (const std::string& a : o.addresses) out += "<" + a + ">";
  return out;
}

TEST(CommandLine, OptionsAsCurlAndRipgrepReadThem) {
  struct {
    std::vector<std::string> args;
    std::string want;
  } rows[] = {
      {{"u"}, "<u>"},
      {{"a", "b", "-"}, "<a><b><->"},
      {{"--json", "u", "--manifests"}, "json manifests <u>"},
      {{"-A", "ios", "u"}, "agent=ios <u>"},
      {{"-Aios", "u"}, "agent=ios <u>"},
      {{"--user-agent=ie", "u"}, "<u>"},
      {{"-A", "ios", "-A", "ie", "u"}, "<u>"},
      {{"--user-agent", "Wget/1.21 (x)", "u"}, "agent=[Wget/1.21 (x)] <u>"},
      {{"-A", "-o", "u"}, "agent=[-o] <u>"},  // a value is the next word, whatever it is
      {{"--timeout", "5", "u"}, "timeout=5 <u>"},
      {{"--timeout=86400", "u"}, "timeout=86400 <u>"},
      {{"-o", "d", "u"}, "dir=[d] <u>"},
      {{"-od", "u"}, "dir=[d] <u>"},
      {{"--download=a b", "u"}, "dir=[a b] <u>"},
      {{"--", "-u", "--json"}, "<-u><--json>"},
      {{"-hA", "ios"}, "help agent=ios "},
      {{"-h"}, "help "},
      {{"--version", "--bogus-later"}, "error: unknown option '--bogus-later'"},
      {{"--version"}, "version "},
      // Usage errors.
      {{}, "error: no address given"},
      {{"--json"}, "error: no address given"},
      {{"--foo", "u"}, "error: unknown option '--foo'"},
      {{"-x", "u"}, "error: unknown option '-x'"},
      {{"--jso", "u"}, "error: unknown option '--jso'"},  // no abbreviations
      {{"--json=1", "u"}, "error: --json takes no value"},
      {{"u", "-A"}, "error: -A needs a value"},
      {{"u", "--timeout"}, "error: --timeout needs a value"},
      {{"--timeout", "0", "u"},
       "error: --timeout: '0' is not a whole number of seconds from 1 to 86400"},
      {{"--timeout", "86401", "u"},
       "error: --timeout: '86401' is not a whole number of seconds from 1 to 86400"},
      {{"--timeout", "1.5", "u"},
       "error: --timeout: '1.5' is not a whole number of seconds from 1 to 86400"},
      {{"--timeout", "99999999999", "u"},
       "error: --timeout: '99999999999' is not a whole number of seconds from 1 to 86400"},
      {{"--timeout=", "u"},
       "error: --timeout: '' is not a whole number of seconds from 1 to 86400"},
      {{"-A", "", "u"},
       "error: -A: the agent must be ie, ios or a text without control characters"},
      {{"-A", "x\r\nX-Injected: 1", "u"},
       "error: -A: the agent must be ie, ios or a text without control characters"},
      {{"-o", "", "u"}, "error: -o: the folder name is empty"},
      {{"--manifests", "-o", "d", "u"}, "error: --manifests and --download exclude each other"},
      {{""}, "error: an empty address"},
      {{"u", " \t"}, "error: an empty address"},
  };
  for (const auto& r : rows) {
    std::string shown;
    for (const auto& a : r.args) shown += "[" + a + "] ";
    EXPECT_EQ(Read(r.args), r.want) << shown;
  }
}

TEST(CommandLine, AddressesFromStandardInput) {
  EXPECT_EQ(AddressesFromLines("a\n\n  b \r\n\t\nc"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(AddressesFromLines(""), std::vector<std::string>{});
  EXPECT_EQ(AddressesFromLines("\r\n \n"), std::vector<std::string>{});
}

TEST(CommandLineOutput, ControlCharactersNeverReachTheTerminalRaw) {
  struct {
    std::string in, want;
  } rows[] = {
      {"http://a/b.ipa", "http://a/b.ipa"},
      {"\x1b]0;owned\x07http://a\x1b[2J", "\\x1b]0;owned\\x07http://a\\x1b[2J"},
      {"http://good\rhttp://evil", "http://good\\x0dhttp://evil"},
      {"a\n2\thttp://forged", "a\\x0a2\\x09http://forged"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"del\x7f", "del\\x7f"},
      {"csi\xc2\x9b"
       "2J",
       "csi\\xc2\\x9b2J"},                                         // U+009B, the one-byte CSI
      {"\xc2\xa0nbsp \xe5\xba\x94", "\xc2\xa0nbsp \xe5\xba\x94"},  // printable stays
      {"back\\slash", "back\\slash"},
  };
  for (const auto& r : rows) EXPECT_EQ(EscapeControls(r.in), r.want) << r.in;
}

TEST(CommandLineOutput, ServerTextsAsUtf8) {
  // Addresses are code page 936; a manifest's texts are UTF-8 when they are
  // well-formed UTF-8 (GBK "应" alone, D3 A6, would be too: an address never
  // guesses).
  EXPECT_EQ(AddressText("\xd3\xa6"), "\xe5\xba\x94");
  EXPECT_EQ(ManifestText("\xe5\xba\x94\xe7\x94\xa8"), "\xe5\xba\x94\xe7\x94\xa8");
  EXPECT_EQ(ManifestText("\xd3\xa6\xd3\xc3"), "\xe5\xba\x94\xe7\x94\xa8");
  EXPECT_EQ(EscapeControls(ManifestText("\xd3\xa6\xd3\xc3\x1b[2J")),
            "\xe5\xba\x94\xe7\x94\xa8\\x1b[2J");
  EXPECT_EQ(TextRow("", 3, "http://a/\x1b[1A"), "3\thttp://a/\\x1b[1A\n");
  EXPECT_EQ(TextRow("http://p/\r", 1, "http://a/x\n2\tforged"),
            "http://p/\\x0d\t1\thttp://a/x\\x0a2\\x09forged\n");
}

TEST(CommandLineOutput, JsonLinesParseBackToTheTextsSent) {
  lookup::PackageRow p;
  p.page = "http://p/\xd3\xa6";  // GBK
  p.manifest = "http://m/x.plist";
  p.link = "http://a/\x1b]0;t\x07\r\nb\x7f\xc2\x85";
  p.title = "\xe5\x9b\xbe \"q\" \\";
  const std::string line = JsonPackage(p, 7);
  ASSERT_EQ(line.back(), '\n');
  // One line, and nothing a terminal acts on.
  for (std::size_t i = 0; i + 1 < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    EXPECT_TRUE(c >= 0x20 && c != 0x7F) << i;
    if (c == 0xC2) {
      EXPECT_GE(static_cast<unsigned char>(line[i + 1]), 0xA0) << i;
    }
  }
  const auto o = nlohmann::json::parse(line);
  EXPECT_EQ(o["page"], "http://p/\xe5\xba\x94");
  EXPECT_EQ(o["manifest"], "http://m/x.plist");
  EXPECT_EQ(o["link"], "http://a/\x1b]0;t\x07\r\nb\x7f\xc2\x85");
  EXPECT_EQ(o["row"], 7);
  EXPECT_EQ(o["title"], "\xe5\x9b\xbe \"q\" \\");
  EXPECT_FALSE(o.contains("bundle_id"));
  EXPECT_FALSE(o.contains("version"));

  const auto f = nlohmann::json::parse(JsonFailure(
      {"http://h/\x1b", "the server answered with HTTP status 404", "http_status", 404}));
  EXPECT_EQ(f["error"], "the server answered with HTTP status 404");
  EXPECT_EQ(f["address"], "http://h/\x1b");
  EXPECT_EQ(f["reason"], "http_status");
  EXPECT_EQ(f["http_status"], 404);
  EXPECT_FALSE(
      nlohmann::json::parse(JsonFailure({"a", "m", "timeout", 0})).contains("http_status"));
}

TEST(CommandLineDownload, FileNamesStayInTheFolder) {
  struct {
    std::string link, want;
  } links[] = {
      {"https://dl.example.com/apps/App%20One.ipa?sig=a/b#frag", "App One.ipa"},
      {"http://h/a/b/", ""},
      {"http://h", ""},
      {"http://h/..", ""},
      {"http://h/x/%2e%2e", ""},
      {"http://h/x/..%2f..%2f.bashrc", ".bashrc"},
      {"http://h/x/a%5c..%5cb.ipa", "b.ipa"},
      {"http://h/%1b]0;t%07n%0d%0a.ipa", "]0;tn.ipa"},
      {"http://h/%E5%BA%94.ipa", "\xe5\xba\x94.ipa"},                 // UTF-8
      {"http://h/%D3%A6%D3%C3.ipa", "\xe5\xba\x94\xe7\x94\xa8.ipa"},  // GBK
      {"http://h/%20%20.ipa%20", ".ipa"},
      {"http://h/" + std::string(300, 'a') + ".ipa", std::string(251, 'a') + ".ipa"},
  };
  for (const auto& r : links) EXPECT_EQ(FileNameOfLink(r.link), r.want) << r.link;

  struct {
    std::string value, want;
  } dispositions[] = {
      {"attachment; filename=\"App.ipa\"", "App.ipa"},
      {"attachment; filename=App.ipa", "App.ipa"},
      {"attachment; filename=\"../../etc/passwd\"", "passwd"},
      {"attachment; filename=\"..\"", ""},
      {"attachment; FILENAME*=UTF-8''%E5%BA%94%20x.ipa; filename=\"fallback.ipa\"",
       "\xe5\xba\x94 x.ipa"},
      {"attachment; filename=\"fallback.ipa\"; filename*=utf-8''..%2F..%2F", "fallback.ipa"},
      {"attachment; filename=\"a\x1b[2Jb.ipa\"", "a[2Jb.ipa"},
      {"inline", ""},
  };
  for (const auto& r : dispositions) EXPECT_EQ(FileNameOfDisposition(r.value), r.want) << r.value;
}

TEST(CommandLineDownload, ResumeOnlyWhereTheServerContinuesTheFile) {
  auto head = [](std::string raw) { return ReadResponseHead(raw); };
  const ResponseHead ok = head("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
  const ResponseHead partial =
      head("HTTP/1.1 206 Partial\r\ncontent-range: bytes 40-99/100\r\nContent-Length: 60\r\n\r\n");
  const ResponseHead partialElsewhere =
      head("HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-99/100\r\n\r\n");
  const ResponseHead unsatisfiable =
      head("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */100\r\n\r\n");
  const ResponseHead missing = head("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\n");
  struct {
    const char* what;
    const ResponseHead& head;
    uint64_t have;
    ResumeStep step;
    std::optional<uint64_t> expected;
  } rows[] = {
      {"a new file", ok, 0, ResumeStep::kWriteNew, 100},
      {"the rest of it", partial, 40, ResumeStep::kAppend, 60},
      {"another part than asked for", partialElsewhere, 40, ResumeStep::kNotResumable, {}},
      {"nothing left: complete", unsatisfiable, 100, ResumeStep::kComplete, {}},
      {"nothing left, but the file is longer", unsatisfiable, 120, ResumeStep::kNotResumable, {}},
      {"the whole file again, as long as ours", ok, 100, ResumeStep::kComplete, 100},
      {"the whole file again, longer than ours", ok, 40, ResumeStep::kNotResumable, 100},
      {"no such package", missing, 0, ResumeStep::kHttpError, {}},
  };
  for (const auto& r : rows) {
    const ResumePlan plan = PlanResume(r.head, r.have);
    EXPECT_EQ(plan.step, r.step) << r.what;
    EXPECT_EQ(plan.expectedBytes, r.expected) << r.what;
  }
  const ResponseHead named = head(
      "HTTP/1.0 200 OK\r\nContent-Disposition: attachment; filename=\"x.ipa\"\r\nContent-Length: "
      "18446744073709551616\r\n\r\n");
  EXPECT_EQ(named.status, 200);
  EXPECT_EQ(named.disposition, "attachment; filename=\"x.ipa\"");
  EXPECT_FALSE(named.contentLength) << "a length that does not fit is no length";
}

TEST(CommandLineDownload, ProgressLineTellsBytesPercentRateAndTimeLeft) {
  // 10 MiB of 40 MiB after 10 s, 2 MiB of them resumed from before: 0.8 MiB/s,
  // 30 MiB left, 38 s.
  const uint64_t mib = 1 << 20;
  const std::string line = ProgressLine("app.ipa", 10 * mib, 40 * mib, 10.0, 2 * mib, 80);
  EXPECT_EQ(line,
            "app.ipa [#####---------------]  25% 10.0 MiB / 40.0 MiB  819.2 KiB/s  0:38 left");
  EXPECT_EQ(line.size(), 79u);
  EXPECT_EQ(ProgressLine("app.ipa", 1500, std::nullopt, 1.0, 0, 80), "app.ipa 1.5 KiB  1.5 KiB/s");
  const std::string narrow = ProgressLine(std::string(100, 'n') + "\x1b[2J", 5, 10, 1.0, 0, 60);
  EXPECT_LE(narrow.size(), 59u) << narrow;
  EXPECT_EQ(narrow.find('\x1b'), std::string::npos) << narrow;
  EXPECT_NE(narrow.find(" 50% 5 B / 10 B"), std::string::npos) << narrow;
  EXPECT_NE(ProgressLine("a", 0, 7200 * mib, 10.0, 0, 80).find("0 B/s"), std::string::npos);
  EXPECT_NE(ProgressLine("a", mib, 7201 * mib, 1.0, 0, 80).find("2:00:00 left"), std::string::npos);
}

}  // namespace
}  // namespace tobrine::cli
