// The command line's option reading, its terminal-safe output and the steps of
// its downloads (Linux).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/download_steps.h"
#include "cli/file_names.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/package_file.h"
#include "cli/progress.h"

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
  struct {
    std::string input;
    std::vector<std::string> addresses;
    std::string error;
  } rows[] = {
      {"a\n\n  b \r\n\t\nc", {"a", "b", "c"}, ""},
      {"", {}, ""},
      {"\r\n \n", {}, ""},
      // Cut at the NUL, the address would be another one.
      {std::string("http://a/\n\nhttp://b/\0.evil/\n", 28),
       {},
       "line 3 of standard input holds a NUL byte"},
  };
  for (const auto& r : rows) {
    const StandardInputAddresses got = AddressesFromLines(r.input);
    EXPECT_EQ(got.addresses, r.addresses) << r.input;
    EXPECT_EQ(got.error, r.error) << r.input;
  }
}

std::string ReadSourceFile(const std::string& path) {
  std::ifstream in(std::string(TOBRINE_SOURCE_DIR) + "/" + path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The words of a roff request line, fonts and quotes gone: ".BR \-A \", \" x"
// is "-A, x" (the alternating-font requests join their words, .B and .I put
// spaces between them).
std::string RoffText(std::string line) {
  line = std::regex_replace(line, std::regex(R"(\\f[BIRP])"), "");
  line = std::regex_replace(line, std::regex(R"(\\-)"), "-");
  const bool join = line.size() > 3 && line[0] == '.' && line[3] == ' ';
  std::vector<std::string> words;
  std::smatch m;
  std::string rest = line.substr(line.find(' ') + 1);
  while (std::regex_search(rest, m, std::regex(R"x("([^"]*)"|(\S+))x"))) {
    words.push_back(m[1].matched ? m[1].str() : m[2].str());
    rest = m.suffix();
  }
  std::string text;
  for (const std::string& w : words) text += (text.empty() || join ? "" : " ") + w;
  return text;
}

// The lines that follow ".TP" in the section `name` of the manual page.
std::vector<std::string> ManualTags(const std::string& page, const std::string& name) {
  std::vector<std::string> tags;
  std::istringstream lines(page);
  std::string line;
  bool inSection = false, tag = false;
  while (std::getline(lines, line)) {
    if (line.starts_with(".SH ")) inSection = line == ".SH " + name;
    if (inSection && tag) tags.push_back(RoffText(line));
    tag = line == ".TP";
  }
  return tags;
}

// --help is made from the option table; the manual page, the bash completion
// and the README are held to it here.
TEST(CommandLine, EveryDescriptionOfTheOptionsAgreesWithTheTable) {
  const std::string help(HelpText());
  const std::string manual = ReadSourceFile("docs/tobrine.1");
  const std::string completion = ReadSourceFile("docs/tobrine.bash-completion");
  const std::string readme = ReadSourceFile("README.md");
  ASSERT_FALSE(manual.empty() || completion.empty() || readme.empty());

  std::set<std::string> names, manualWant, readmeWant;
  for (const OptionDoc& o : OptionTable()) {
    const std::string shortName = o.shortName ? std::string("-") + o.shortName : "";
    const std::string longName = "--" + std::string(o.longName);
    const std::string value = o.valueName.empty() ? "" : " " + std::string(o.valueName);
    names.insert(longName);
    if (!shortName.empty()) names.insert(shortName);
    const std::string usage = (shortName.empty() ? "" : shortName + ", ") + longName + value;
    manualWant.insert(usage);
    EXPECT_NE(help.find("  " + usage + " "), std::string::npos) << usage;
    readmeWant.insert(shortName.empty() ? "`" + longName + value + "`"
                                        : "`" + shortName + "`, `" + longName + value + "`");
    // A value's completion: its words, folders, or nothing.
    if (o.valueName.empty()) continue;
    const std::string pattern = (shortName.empty() ? "" : shortName + "|") + longName + ")";
    const std::size_t branch = completion.find("    " + pattern + "\n");
    ASSERT_NE(branch, std::string::npos) << pattern;
    const std::string body = completion.substr(branch, completion.find(";;", branch) - branch);
    const std::string want = o.completion.empty() ? "COMPREPLY=()"
                             : o.completion == "<folder>"
                                 ? "compgen -d -- \"$cur\""
                                 : "compgen -W '" + std::string(o.completion) + "' -- \"$cur\"";
    EXPECT_NE(body.find(want), std::string::npos) << pattern << ": " << body;
  }

  const std::vector<std::string> tags = ManualTags(manual, "OPTIONS");
  EXPECT_EQ(std::set<std::string>(tags.begin(), tags.end()), manualWant);
  EXPECT_EQ(tags.size(), manualWant.size());

  // The completion offers every name, and only those.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(completion, m, std::regex(R"(compgen -W '(-[^']*)')")));
  std::istringstream words(m[1].str());
  std::set<std::string> offered{std::istream_iterator<std::string>(words), {}};
  EXPECT_EQ(offered, names);

  // The README's table: one row per option, its names in the first column.
  std::set<std::string> readmeRows;
  std::istringstream lines(readme);
  std::string line;
  while (std::getline(lines, line))
    if (line.starts_with("| `-")) readmeRows.insert(line.substr(2, line.find(" |", 2) - 2));
  EXPECT_EQ(readmeRows, readmeWant);

  // The exit statuses, in all three.
  std::set<std::string> codes;
  for (const ExitStatusDoc& e : ExitStatusTable()) {
    const std::string code = std::to_string(static_cast<int>(e.status));
    codes.insert(code);
    EXPECT_NE(help.find("  " + code + "  " + std::string(e.meaning) + "\n"), std::string::npos);
    EXPECT_NE(readme.find("| " + code + " | "), std::string::npos) << code;
  }
  const std::vector<std::string> statuses = ManualTags(manual, "EXIT STATUS");
  EXPECT_EQ(std::set<std::string>(statuses.begin(), statuses.end()), codes);
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
      {"http://h/x/..%2f..%2f.bashrc", "bashrc"},  // never a hidden file
      {"http://h/.profile", "profile"},
      {"http://h/-rf", "rf"},  // never an option
      {"http://h/.-.-x", "x"},
      {"http://h/x/a%5c..%5cb.ipa", "b.ipa"},
      {"http://h/%1b]0;t%07n%0d%0a.ipa", "]0;tn.ipa"},
      {"http://h/%E5%BA%94.ipa", "\xe5\xba\x94.ipa"},                 // UTF-8
      {"http://h/%D3%A6%D3%C3.ipa", "\xe5\xba\x94\xe7\x94\xa8.ipa"},  // GBK
      {"http://h/%20%20.ipa%20", "ipa"},
      // Bidirectional controls: "invoice\u202Egpj.exe" shows as "invoiceexe.jpg".
      {"http://h/invoice%E2%80%AEgpj.exe", "invoicegpj.exe"},
      {"http://h/a%E2%80%8Eb%E2%80%8Fc%E2%80%AAd%E2%81%A6e%E2%81%A9f%D8%9Cg.ipa", "abcdefg.ipa"},
      {"http://h/%E2%80%AF.ipa", "\xe2\x80\xaf.ipa"},  // a narrow space is no control
      {"http://h/" + std::string(300, 'a') + ".ipa", std::string(kNameMax - 4, 'a') + ".ipa"},
  };
  for (const auto& r : links) EXPECT_EQ(FileNameOfLink(r.link), r.want) << r.link;

  struct {
    std::string value, want;
  } dispositions[] = {
      {"attachment; filename=\"App.ipa\"", "App.ipa"},
      {"attachment; filename=App.ipa", "App.ipa"},
      {"attachment; filename=\"../../etc/passwd\"", "passwd"},
      {"attachment; filename=\"..\"", ""},
      {"attachment; filename=\".profile\"", "profile"},
      {"attachment; FILENAME*=UTF-8''%E5%BA%94%20x.ipa; filename=\"fallback.ipa\"",
       "\xe5\xba\x94 x.ipa"},
      {"attachment; filename=\"fallback.ipa\"; filename*=utf-8''..%2F..%2F", "fallback.ipa"},
      {"attachment; filename=\"a\x1b[2Jb.ipa\"", "a[2Jb.ipa"},
      {"attachment; filename*=UTF-8''%E2%80%AEnls.exe", "nls.exe"},
      {"inline", ""},
  };
  for (const auto& r : dispositions) EXPECT_EQ(FileNameOfDisposition(r.value), r.want) << r.value;
}

// Every numbered name of a name differs from every other and fits, with its
// part's suffixes, into a file name: a long name once hung the run.
TEST(CommandLineDownload, NumberedNamesAreDistinctAndFit) {
  const std::string names[] = {
      "app.ipa",
      SafeFileName(std::string(300, 'A') + ".ipa"),
      SafeFileName(std::string(254, 'B')),
      SafeFileName(std::string(100, 'x') + "." + std::string(200, 'y')),  // no short extension
      SafeFileName(std::string(80, '\0') + std::string(120, 'z')),
      SafeFileName(std::string(500, 'a') + "\xe5\xba\x94\xe5\xba\x94.ipa"),
      SafeFileName("app-2.ipa"),
  };
  for (const std::string& name : names) {
    ASSERT_FALSE(name.empty());
    ASSERT_LE(name.size(), kNameMax);
    std::set<std::string> seen;
    for (int n = 1; n <= 1000; ++n) {
      const std::string numbered = NumberedName(name, n);
      EXPECT_LE(numbered.size() + kInfoSuffix.size(), 255u) << numbered;
      EXPECT_TRUE(seen.insert(numbered).second) << n << ": " << numbered;
      EXPECT_EQ(SafeFileName(numbered), numbered) << "cut inside a character: " << numbered;
    }
    EXPECT_EQ(NumberedName(name, 1), name);
  }
  EXPECT_EQ(NumberedName("app.ipa", 2), "app-2.ipa");
  EXPECT_EQ(NumberedName("README", 12), "README-12");
  EXPECT_EQ(NumberedName(names[1], 10), std::string(kNameMax - 7, 'A') + "-10.ipa");
}

ResponseHead Head(const std::string& raw) {
  return ReadResponseHead(raw);
}

// A part is continued only by an answer that proves it is the same file and
// continues exactly where the part ends.
TEST(CommandLineDownload, AnswerContinuesOnlyTheSameFileWhereItEnds) {
  const std::string etag = "\"v1\"";
  const std::string date = "Wed, 21 Oct 2015 07:28:00 GMT";
  auto partial = [](const std::string& range, const std::string& more = "") {
    return Head("HTTP/1.1 206 Partial\r\nContent-Range: " + range + "\r\n" + more + "\r\n");
  };
  struct {
    const char* what;
    ResponseHead head;
    uint64_t have;
    std::string validator;  // sent in If-Range
    AnswerStep step;
    std::optional<uint64_t> expected;
  } rows[] = {
      {"a new file", Head("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"), 0, "",
       AnswerStep::kWriteFromStart, 100},
      {"the rest", partial("bytes 40-99/100", "ETag: \"v1\"\r\nContent-Length: 60\r\n"), 40, etag,
       AnswerStep::kAppend, 60},
      {"the rest, no length", partial("bytes 40-99/100"), 40, date, AnswerStep::kAppend, 60},
      {"the whole file: changed, or no ranges", Head("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n"),
       40, etag, AnswerStep::kWriteFromStart, 9},
      {"another start", partial("bytes 0-99/100"), 40, etag, AnswerStep::kRestart, {}},
      {"a total below the part",
       partial("bytes 20000-49999/100"),
       20000,
       etag,
       AnswerStep::kRestart,
       {}},
      {"not numbers", partial("bytes 20000-abc/xyz"), 20000, etag, AnswerStep::kRestart, {}},
      {"short of the end", partial("bytes 40-79/100"), 40, etag, AnswerStep::kRestart, {}},
      {"an unknown total", partial("bytes 40-99/*"), 40, etag, AnswerStep::kRestart, {}},
      {"last before first", partial("bytes 40-30/31"), 40, etag, AnswerStep::kRestart, {}},
      {"no Content-Range",
       Head("HTTP/1.1 206 Partial\r\n\r\n"),
       40,
       etag,
       AnswerStep::kRestart,
       {}},
      {"a length that disagrees",
       partial("bytes 40-99/100", "Content-Length: 61\r\n"),
       40,
       etag,
       AnswerStep::kRestart,
       {}},
      {"another ETag",
       partial("bytes 40-99/100", "ETag: \"v2\"\r\n"),
       40,
       etag,
       AnswerStep::kRestart,
       {}},
      {"another date",
       partial("bytes 40-99/100", "Last-Modified: Thu, 22 Oct 2015\r\n"),
       40,
       date,
       AnswerStep::kRestart,
       {}},
      {"a part never asked for", partial("bytes 0-99/100"), 0, "", AnswerStep::kHttpError, {}},
      {"nothing left: complete",
       Head("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */100\r\n\r\n"),
       100,
       etag,
       AnswerStep::kComplete,
       {}},
      {"nothing left, but the file is shorter",
       Head("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */90\r\n\r\n"),
       100,
       etag,
       AnswerStep::kRestart,
       {}},
      {"416 unasked",
       Head("HTTP/1.1 416 No\r\nContent-Range: bytes */0\r\n\r\n"),
       0,
       "",
       AnswerStep::kHttpError,
       {}},
      {"no such package",
       Head("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\n"),
       0,
       "",
       AnswerStep::kHttpError,
       {}},
      {"more than a package may hold",
       Head("HTTP/1.1 200 OK\r\nContent-Length: 4294967297\r\n\r\n"), 0, "", AnswerStep::kTooLarge,
       4294967297},
      {"a rest beyond the bound", partial("bytes 40-4294967296/4294967297"), 40, etag,
       AnswerStep::kTooLarge, 4294967257},
  };
  for (const auto& r : rows) {
    const AnswerPlan plan = PlanAnswer(r.head, r.have, r.validator);
    EXPECT_EQ(plan.step, r.step) << r.what;
    EXPECT_EQ(plan.expectedBytes, r.expected) << r.what;
    EXPECT_EQ(plan.why.empty(), r.step != AnswerStep::kRestart) << r.what << ": " << plan.why;
  }
  EXPECT_EQ(PlanAnswer(partial("bytes 20000-49999/100"), 20000, etag).why,
            "the server's Content-Range bytes 20000-49999/100 does not continue the 20000 bytes "
            "here");
  const ResponseHead named = Head(
      "HTTP/1.0 200 OK\r\nContent-Disposition: attachment; filename=\"x.ipa\"\r\nContent-Length: "
      "18446744073709551616\r\n\r\n");
  EXPECT_EQ(named.status, 200);
  EXPECT_EQ(named.disposition, "attachment; filename=\"x.ipa\"");
  EXPECT_FALSE(named.contentLength) << "a length that does not fit is no length";
}

TEST(CommandLineDownload, ValidatorsAndPartInfo) {
  struct {
    std::string headers, validator;
  } rows[] = {
      {"ETag: \"abc\"\r\nLast-Modified: Wed, 21 Oct 2015 07:28:00 GMT\r\n", "\"abc\""},
      {"ETag: W/\"abc\"\r\nLast-Modified: Wed, 21 Oct 2015 07:28:00 GMT\r\n",
       "Wed, 21 Oct 2015 07:28:00 GMT"},  // a weak tag cannot ask for a range
      {"ETag: abc\r\n", ""},
      {"ETag: \"a\"b\"\r\n", ""},
      {"ETag: \"\x01\"\r\n", ""},
      {"ETag: \"" + std::string(300, 'e') + "\"\r\n", ""},
      {"Last-Modified: \xe5\xba\x94\r\n", ""},
      {"", ""},
  };
  for (const auto& r : rows)
    EXPECT_EQ(ValidatorOf(Head("HTTP/1.1 200 OK\r\n" + r.headers + "\r\n")), r.validator)
        << r.headers;
  EXPECT_EQ(ResumeLines(40, "\"abc\""), "Range: bytes=40-\r\nIf-Range: \"abc\"\r\n");
  EXPECT_EQ(ResumeLines(40, ""), "") << "no validator: the whole file again";
  EXPECT_EQ(ResumeLines(0, "\"abc\""), "");

  const PartInfo info{"http://h/a b\r\n%41\x7f\xe5\xba\x94?x=1&y", "\"v 1\"", "../na\nme.ipa"};
  const std::string text = WritePartInfo(info);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;
  const std::optional<PartInfo> back = ReadPartInfo(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->link, info.link);
  EXPECT_EQ(back->validator, info.validator);
  EXPECT_EQ(back->name, "name.ipa") << "a name read back is a plain name in the folder";
  const std::optional<PartInfo> forged =
      ReadPartInfo("tobrine part 1\nlink x\nvalidator \"a\"%0D%0AX-Injected:%20y\n");
  ASSERT_TRUE(forged);
  EXPECT_EQ(forged->validator, "") << "a validator that would add a header line";
  const std::string others[] = {"", "link http://h/\n", "tobrine part 1\nvalidator x\n",
                                "#!/bin/sh\nrm -rf ~\n",
                                "tobrine part 1\nlink " + std::string(70000, 'a') + "\n"};
  for (const std::string& other : others) EXPECT_FALSE(ReadPartInfo(other)) << other.substr(0, 40);
}

// How a transfer ended, in words, without a server.
TEST(CommandLineDownload, TransferOutcomeInWords) {
  const std::string part = "/d/app.ipa.part";
  auto facts = [](AnswerStep step, uint64_t have, uint64_t received,
                  std::optional<uint64_t> expected, FetchOutcome outcome = {}) {
    TransferFacts f;
    f.began = true;
    f.status = 200;
    f.plan.step = step;
    f.plan.expectedBytes = expected;
    f.have = have;
    f.received = received;
    f.outcome = outcome;
    f.resumable = true;
    return f;
  };
  TransferFacts diskFull =
      facts(AnswerStep::kWriteFromStart, 0, 5000, 9000, {FetchFailure::kOther, 200});
  diskFull.writeError = "No space left on device";
  TransferFacts noValidator =
      facts(AnswerStep::kWriteFromStart, 0, 10, 90, {FetchFailure::kConnection, 200});
  noValidator.resumable = false;
  TransferFacts notFound =
      facts(AnswerStep::kHttpError, 0, 0, {}, {FetchFailure::kHttpStatus, 404});
  notFound.status = 404;
  TransferFacts notBegun = facts(AnswerStep::kHttpError, 0, 0, {}, {FetchFailure::kTimeout, 0});
  notBegun.began = false;
  TransferFacts partialToPlainAsk =
      facts(AnswerStep::kHttpError, 0, 0, {}, {FetchFailure::kOther, 206});
  partialToPlainAsk.status = 206;
  using K = DownloadResult::Kind;
  struct {
    const char* what;
    TransferFacts facts;
    Verdict verdict;
    K kind;
    std::string reason;
    int32_t httpStatus;
    bool keep;
    std::string message;
  } rows[] = {
      {"saved", facts(AnswerStep::kWriteFromStart, 0, 100, 100), Verdict::kDone, K::kSaved, "", 0,
       false, ""},
      {"length unknown", facts(AnswerStep::kWriteFromStart, 0, 100, {}), Verdict::kDone, K::kSaved,
       "", 0, false, ""},
      {"resumed", facts(AnswerStep::kAppend, 40, 60, 60), Verdict::kDone, K::kResumed, "", 0, false,
       ""},
      {"complete already",
       facts(AnswerStep::kComplete, 100, 0, {}, {FetchFailure::kHttpStatus, 416}), Verdict::kDone,
       K::kResumed, "", 0, false, ""},
      {"restart", facts(AnswerStep::kRestart, 40, 0, {}, {FetchFailure::kOther, 206}),
       Verdict::kRestart, K::kFailed, "", 0, false, ""},
      {"disk full: no HTTP status", diskFull, Verdict::kFailed, K::kFailed, "file", 0, true,
       "cannot write /d/app.ipa.part: No space left on device; 4.9 KiB kept in /d/app.ipa.part, "
       "run again to resume"},
      {"cut short", facts(AnswerStep::kAppend, 40, 20, 60), Verdict::kFailed, K::kFailed, "short",
       0, true,
       "the connection ended after 20 of 60 bytes; 60 B kept in /d/app.ipa.part, run again to "
       "resume"},
      {"cut short, nothing to prove it the same later", noValidator, Verdict::kFailed, K::kFailed,
       "connection", 0, false,
       "package not fetched: the connection failed (refused, reset or cut off)"},
      {"an HTTP status", notFound, Verdict::kFailed, K::kFailed, "http_status", 404, false,
       "package not fetched: the server answered with HTTP status 404"},
      {"an HTTP status on a part",
       [&] {
         TransferFacts f = notFound;
         f.have = 40;
         return f;
       }(),
       Verdict::kFailed, K::kFailed, "http_status", 404, true,
       "package not fetched: the server answered with HTTP status 404; 40 B kept in "
       "/d/app.ipa.part, run again to resume"},
      {"a part never asked for", partialToPlainAsk, Verdict::kFailed, K::kFailed, "http_status",
       206, false, "package not fetched: the server answered with HTTP status 206"},
      {"no answer", notBegun, Verdict::kFailed, K::kFailed, "timeout", 0, false,
       "package not fetched: no answer within 7 seconds (time-out)"},
      {"too large: never 'run again'",
       facts(AnswerStep::kAppend, 40, 100, {}, {FetchFailure::kTooLarge, 206}), Verdict::kFailed,
       K::kFailed, "too_large", 0, false,
       "package not fetched: it is larger than 4.0 GiB, the most a package may hold"},
      {"too large, told in advance",
       facts(AnswerStep::kTooLarge, 0, 0, {}, {FetchFailure::kOther, 200}), Verdict::kFailed,
       K::kFailed, "too_large", 0, false,
       "package not fetched: it is larger than 4.0 GiB, the most a package may hold"},
  };
  for (const auto& r : rows) {
    const TransferVerdict v = ClassifyTransfer(r.facts, "http://h/app.ipa", part, 7);
    EXPECT_EQ(v.verdict, r.verdict) << r.what;
    EXPECT_EQ(v.result.kind, r.kind) << r.what;
    EXPECT_EQ(v.result.reason, r.reason) << r.what;
    EXPECT_EQ(v.result.httpStatus, r.httpStatus) << r.what;
    EXPECT_EQ(v.keepPart, r.keep) << r.what;
    if (!r.message.empty()) {
      EXPECT_EQ(v.result.message, r.message) << r.what;
    }
  }
}

// A temporary folder, removed with all it holds.
struct TempFolder {
  TempFolder() {
    std::string name = (std::filesystem::temp_directory_path() / "tobrine-cli-XXXXXX").string();
    path = mkdtemp(name.data()) ? name : "";
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// What stands at NAME.part or beside it decides whether it is continued: only a
// regular file of its own whose info this program wrote for the same link.
TEST(CommandLineDownload, PartsNeverWriteAFileThisProgramDidNotMake) {
  TempFolder outside, dir;
  ASSERT_FALSE(outside.path.empty() || dir.path.empty());
  const std::string link = "http://h/app.ipa";
  const std::string info = WritePartInfo({link, "\"v\"", ""});
  WriteFile(outside / "victim", "precious");
  UniqueFd held;  // the other run's hold on its part
  struct {
    const char* what;
    std::function<void()> make;  // what stands there
    bool continued;
  } rows[] = {
      {"a part of this link",
       [&] {
         WriteFile(dir / "app.ipa.part", "12345");
         WriteFile(dir / "app.ipa.part.info", info);
       },
       true},
      {"a part of another link",
       [&] {
         WriteFile(dir / "app.ipa.part", "12345");
         WriteFile(dir / "app.ipa.part.info", WritePartInfo({"http://other/app.ipa", "", ""}));
       },
       false},
      {"a part without info", [&] { WriteFile(dir / "app.ipa.part", "12345"); }, false},
      {"an info that is no info",
       [&] {
         WriteFile(dir / "app.ipa.part", "12345");
         WriteFile(dir / "app.ipa.part.info", "export PATH=/evil\n");
       },
       false},
      {"a link to a file outside",
       [&] {
         std::filesystem::create_symlink(outside / "victim", dir / "app.ipa.part");
         WriteFile(dir / "app.ipa.part.info", info);
       },
       false},
      {"an info that links outside",
       [&] {
         WriteFile(dir / "app.ipa.part", "12345");
         WriteFile(outside / "info", info);
         std::filesystem::create_symlink(outside / "info", dir / "app.ipa.part.info");
       },
       false},
      {"a second name of a file outside",
       [&] {
         std::filesystem::create_hard_link(outside / "victim", dir / "app.ipa.part");
         WriteFile(dir / "app.ipa.part.info", info);
       },
       false},
      {"a FIFO (an open for writing would wait for ever)",
       [&] {
         ASSERT_EQ(mkfifo((dir / "app.ipa.part").c_str(), 0600), 0);
         WriteFile(dir / "app.ipa.part.info", info);
       },
       false},
      {"a part another run is writing",
       [&] {
         WriteFile(dir / "app.ipa.part", "12345");
         WriteFile(dir / "app.ipa.part.info", info);
         held = UniqueFd(open((dir / "app.ipa.part").c_str(), O_WRONLY));
         ASSERT_EQ(flock(held.get(), LOCK_EX), 0);
       },
       false},
      {"a folder",
       [&] {
         std::filesystem::create_directory(dir / "app.ipa.part");
         WriteFile(dir / "app.ipa.part.info", info);
       },
       false},
  };
  std::string error;
  std::optional<DownloadFolder> folder = DownloadFolder::Open(dir.path, error);
  ASSERT_TRUE(folder) << error;
  for (const auto& r : rows) {
    std::filesystem::remove_all(dir.path);
    std::filesystem::create_directory(dir.path);
    folder = DownloadFolder::Open(dir.path, error);
    r.make();
    std::optional<PartFile> part;
    if (std::optional<PartInfo> found = folder->PartInfoOf("app.ipa"); found && found->link == link)
      part = PartFile::Continue(*folder, "app.ipa", *found, error);
    EXPECT_EQ(part.has_value(), r.continued) << r.what << ": " << error;
    if (part) {
      EXPECT_EQ(part->size(), 5u);
      uint64_t written = 0;
      EXPECT_EQ(part->Append("678", written), "");
      EXPECT_EQ(written, 3u);
    }
    // A new part never takes a name that stands there, whatever it is.
    EXPECT_FALSE(PartFile::Create(*folder, "app.ipa", {link, "", ""}, error)) << r.what;
    EXPECT_EQ(ReadFile(outside / "victim"), "precious") << r.what;
    held = UniqueFd();
  }

  // A finished part never takes the name of a file that is there.
  std::filesystem::remove_all(dir.path);
  std::filesystem::create_directory(dir.path);
  folder = DownloadFolder::Open(dir.path, error);
  std::optional<PartFile> part = PartFile::Create(*folder, "app.ipa", {link, "", ""}, error);
  ASSERT_TRUE(part) << error;
  uint64_t written = 0;
  EXPECT_EQ(part->Append("new", written), "");
  EXPECT_EQ(part->Close(), "");
  WriteFile(dir / "app.ipa", "theirs");
  std::filesystem::create_symlink(outside / "victim", dir / "app-2.ipa");
  EXPECT_EQ(part->PublishAs("app.ipa", error), PartFile::Publish::kTaken);
  EXPECT_EQ(part->PublishAs("app-2.ipa", error), PartFile::Publish::kTaken);
  EXPECT_EQ(part->PublishAs("app-3.ipa", error), PartFile::Publish::kDone) << error;
  EXPECT_EQ(ReadFile(dir / "app.ipa"), "theirs");
  EXPECT_EQ(ReadFile(outside / "victim"), "precious");
  EXPECT_EQ(ReadFile(dir / "app-3.ipa"), "new");
  EXPECT_FALSE(std::filesystem::exists(dir / "app.ipa.part"));
  EXPECT_FALSE(std::filesystem::exists(dir / "app.ipa.part.info"));

  // A folder that cannot be one says why.
  WriteFile(dir / "file", "");
  EXPECT_FALSE(DownloadFolder::Open(dir / "file", error));
  EXPECT_EQ(error, "cannot use " + (dir / "file") + " as the download folder: Not a directory");
  EXPECT_FALSE(DownloadFolder::Open(dir / std::string(300, 'n'), error));
  EXPECT_EQ(error, "cannot use " + (dir / std::string(300, 'n')) +
                       " as the download folder: File name too long");
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
