// Hostile pages built from each reader's own search literals, and the time a
// reader takes on them at two sizes. A reader that scans ahead for a
// terminator from every match, and reads the rest again, takes quadratic time
// on a run of matches: 16 times as long for 4 times the page, where linear
// work takes 4 times as long. Shared by the unit tests (small sizes) and
// `make bench` (sizes that hurt).
#pragma once

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "lookup/install_links.h"
#include "lookup/lookup.h"
#include "lookup/manifest.h"
#include "text/markup.h"
#include "text/property_list.h"
#include "text/script_strings.h"

namespace tobrine::test {

// The string and character literals of C++ source text, escapes decoded, each
// once, in order of first appearance; comments and #include lines are skipped,
// empty literals left out.
inline std::vector<std::string> LiteralsOf(std::string_view source) {
  std::vector<std::string> found;
  const auto add = [&found](std::string literal) {
    if (!literal.empty() && std::find(found.begin(), found.end(), literal) == found.end())
      found.push_back(std::move(literal));
  };
  const auto hex = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  const std::size_t n = source.size();
  std::size_t i = 0;
  while (i < n) {
    const std::string_view rest = source.substr(i);
    if (rest.starts_with("//") || rest.starts_with("#include")) {
      i = std::min(n, source.find('\n', i));
    } else if (rest.starts_with("/*")) {
      i = std::min(n, source.find("*/", i + 2) + 2);
    } else if (rest.starts_with("R\"")) {
      const std::size_t open = source.find('(', i);
      const std::string close = ")" + std::string(source.substr(i + 2, open - i - 2)) + "\"";
      const std::size_t end = std::min(n, source.find(close, open));
      add(std::string(source.substr(open + 1, end - open - 1)));
      i = end + close.size();
    } else if (source[i] == '"' || source[i] == '\'') {
      const char quote = source[i];
      std::string literal;
      for (++i; i < n && source[i] != quote; ++i) {
        if (source[i] != '\\' || i + 1 >= n) {
          literal += source[i];
          continue;
        }
        const char e = source[++i];
        if (e == 'x') {
          int v = 0;
          while (i + 1 < n && std::isxdigit(static_cast<unsigned char>(source[i + 1])))
            v = v * 16 + hex(source[++i]);
          literal += static_cast<char>(v);
        } else if (e >= '0' && e <= '7') {
          int v = e - '0';
          for (int d = 0; d < 2 && i + 1 < n && source[i + 1] >= '0' && source[i + 1] <= '7'; ++d)
            v = v * 8 + (source[++i] - '0');
          literal += static_cast<char>(v);
        } else {
          const std::string_view from = "ntrfvb", to = "\n\t\r\f\v\b";
          const std::size_t at = from.find(e);
          literal += at == std::string_view::npos ? e : to[at];
        }
      }
      ++i;
      add(std::move(literal));
    } else {
      ++i;
    }
  }
  return found;
}

// Where a hostile run stands: the text before and after it.
struct Context {
  const char* name;
  std::string_view open, close;
};

// What a run of one literal may be followed by: the ends every reader looks
// for.
inline constexpr std::string_view kClosers[] = {">",   "\"", "'",  "`",         "}",
                                                "]",   ")",  ";",  "\n",        "-->",
                                                "]]>", "?>", "*/", "</script>", "</string>"};
// What may follow a literal to open something more: "\\u" and "{" make "\\u{", a
// name and "." a member.
inline constexpr std::string_view kOpeners[] = {"{", "[", "(", "<", "!", "?",  "&", "#", "$",
                                                "/", "*", "-", ":", "=", "\\", "%", "."};

// How many pages HostilePage makes of one literal in one context.
inline constexpr std::size_t kHostileGroups = 4;

// One of the hostile pages of a literal in a context, made of runs of about `k`
// copies, every run in a context of its own: 0 the run bare and after other
// text; 1 the run followed by each closer; 2 the literal and each closer
// repeated; 3 the literal and each opener repeated. The groups are pages of
// their own, so that one slow run is not hidden among many quick ones.
inline std::string HostilePage(std::string_view literal, const Context& context, std::size_t k,
                               std::size_t group) {
  const auto repeated = [k](std::string_view a, std::string_view b) {
    std::string run;
    run.reserve((a.size() + b.size()) * k);
    for (std::size_t i = 0; i < k; ++i) run.append(a).append(b);
    return run;
  };
  const auto in = [&context](std::string_view run) {
    return std::string(context.open) + std::string(run) + std::string(context.close);
  };
  const std::string run = repeated(literal, {});
  std::string page;
  if (group == 0) page = in(run) + in("x:" + run) + in("x " + run);
  for (std::string_view closer : kClosers) {
    if (group == 1) page += in(run + std::string(closer));
    if (group == 2) page += in(repeated(literal, closer));
  }
  if (group == 3)
    for (std::string_view opener : kOpeners) page += in(repeated(literal, opener));
  return page;
}

// One reader as the timing sees it.
struct TimedReader {
  const char* name;
  std::vector<const char*> sources;  // relative to the source tree: its search literals
  std::vector<Context> contexts;
  std::string_view head, tail;                        // around the runs: a document's frame
  std::function<std::size_t(std::string_view)> read;  // returns something of what it read
};

class CountingVisitor final : public text::MarkupVisitor {
 public:
  std::size_t seen = 0;
  void StartTag(std::string_view name, std::span<const text::MarkupAttribute> attributes,
                bool) override {
    seen += name.size() + attributes.size();
  }
  void Comment(std::string_view text) override { seen += text.size(); }
  void RawText(std::string_view, std::string_view text) override { seen += text.size(); }
};

inline const std::vector<Context>& PageContexts() {
  static const std::vector<Context> contexts = {
      {"text", "<p>", "</p>\n"},
      {"attribute", "<a title=\"", "\">\n"},
      {"unquoted attribute", "<a title=", ">\n"},
      {"script", "<script>", "</script>\n"},
      {"script string", "<script>s=\"", "\";</script>\n"},
      {"script template", "<script>s=`", "`;</script>\n"},
      {"comment", "<!--", "-->\n"},
  };
  return contexts;
}

inline const std::vector<Context>& PropertyListContexts() {
  static const std::vector<Context> contexts = {
      {"string", "<key>k</key><string>", "</string>\n"},
      {"key", "<key>", "</key><true/>\n"},
      {"between elements", "", "\n"},
      {"attribute", "<string a=\"", "\">s</string>\n"},
      {"comment", "<!--", "-->\n"},
      {"CDATA", "<key>k</key><string><![CDATA[", "]]></string>\n"},
  };
  return contexts;
}

// Every reader of pages and manifests, each with the files of its search
// literals. A file moved elsewhere makes the timing fail, not shrink.
inline std::vector<TimedReader> TimedReaders() {
  constexpr std::string_view kPlistHead = "<?xml version=\"1.0\"?><plist><dict>";
  constexpr std::string_view kPlistTail = "</dict></plist>";
  const std::vector<Context> scriptContexts = {
      {"code", "", "\n"},
      {"string", "s=\"", "\";\n"},
      {"template", "s=`", "`;\n"},
      {"substitution", "s=`${", "}`;\n"},
      {"comment", "/*", "*/\n"},
      {"line comment", "//", "\n"},
      {"regular expression", "r=/", "/;\n"},
      {"member of a binding", "s='q'+o.", "\n"},
  };
  return {
      {"markup tokenizer",
       {"src/text/markup.cpp"},
       PageContexts(),
       {},
       {},
       [](std::string_view page) {
         CountingVisitor v;
         text::TokenizeMarkup(page, v);
         return v.seen;
       }},
      {"script strings",
       {"src/text/script_strings.cpp", "src/text/script_lexer.cpp"},
       scriptContexts,
       "const o={};\n",  // the binding read through in "member of a binding"
       {},
       [](std::string_view script) {
         std::size_t seen = 0;
         text::ForEachScriptString(script, text::ByteLayout::kUtf8,
                                   [&seen](std::string_view s) { seen += s.size(); });
         return seen;
       }},
      {"second reading",
       {"src/lookup/install_links.cpp", "src/text/script_strings.cpp", "src/text/script_lexer.cpp"},
       PageContexts(),
       {},
       {},
       [](std::string_view page) { return lookup::InstallManifestAddresses(page).size(); }},
      {"markers",
       {"src/lookup/lookup.cpp"},
       PageContexts(),
       {},
       {},
       [](std::string_view page) {
         TextValue text = TextValue::FromBytes(page);
         return static_cast<std::size_t>(lookup::MarkerManifestLinks(text).count());
       }},
      {"strict property list",
       {"src/text/property_list.cpp"},
       PropertyListContexts(),
       kPlistHead,
       kPlistTail,
       [](std::string_view document) {
         return text::ReadPropertyList(document, text::PropertyListReading::kStrict) ? 1u : 0u;
       }},
      {"tolerant property list",
       {"src/text/property_list.cpp"},
       PropertyListContexts(),
       kPlistHead,
       kPlistTail,
       [](std::string_view document) {
         const auto v = text::ReadPropertyList(document, text::PropertyListReading::kTolerant);
         return v ? v->items.size() : 0u;
       }},
      {"manifest",
       {"src/lookup/manifest.cpp"},
       PropertyListContexts(),
       kPlistHead,
       kPlistTail,
       [](std::string_view document) { return lookup::ReadManifest(document).packages.size(); }},
  };
}

// Seconds one call of `read` takes: the fastest of `rounds` rounds, each
// repeating it until it has taken at least `least` seconds. The seconds are
// the thread's own CPU time: a machine busy with other work takes turns with
// this thread, which would count in a wall clock.
inline double SecondsPerCall(const std::function<void()>& read, double least, int rounds = 2) {
  // <chrono> does not compile with the program's GBK literals.
  const auto now = [] {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  };
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const double start = now();
    int calls = 0;
    double elapsed = 0;
    do {
      read();
      ++calls;
      elapsed = now() - start;
    } while (elapsed < least);
    best = std::min(best, elapsed / calls);
  }
  return best;
}

// A literal as a test's message shows it: control bytes as \xHH.
inline std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) {
      out += c;
    } else {
      out += "\\x";
      out += "0123456789ABCDEF"[u >> 4];
      out += "0123456789ABCDEF"[u & 15];
    }
  }
  return out;
}

// A binary property list of these objects, the first one its root: one-byte
// wide offsets and references would not do for thousands of objects, so both
// take four bytes.
inline std::string BinaryPropertyList(const std::vector<std::string>& objects) {
  const auto be32 = [](std::string& out, std::size_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
  };
  std::string doc = "bplist00";
  std::vector<std::size_t> offsets;
  for (const std::string& o : objects) offsets.push_back(doc.size()), doc += o;
  const std::size_t table = doc.size();
  for (std::size_t o : offsets) be32(doc, o);
  doc += std::string(6, '\0') + "\x04\x04";
  for (std::size_t v : {objects.size(), std::size_t{0}, table}) {
    doc += std::string(4, '\0');
    be32(doc, v);
  }
  return doc;
}

// A container's marker and length (0xF and a four-byte integer past 14) and
// its references, four bytes each.
inline std::string BinaryContainer(char type, const std::vector<std::size_t>& refs) {
  std::string o(1, static_cast<char>(type << 4 | 0x0F));
  o += '\x12';
  for (int shift = 24; shift >= 0; shift -= 8)
    o += static_cast<char>((refs.size() >> shift) & 0xFF);
  for (std::size_t r : refs)
    for (int shift = 24; shift >= 0; shift -= 8) o += static_cast<char>((r >> shift) & 0xFF);
  return o;
}

// Hostile binary property lists of about `k` objects, from the markers the
// reader tells apart: many objects of one kind, one object shared by every
// reference, a chain nested k deep, trees that double at every level, and a
// dict of k keys.
inline std::vector<std::pair<std::string, std::string>> BinaryHostileDocuments(std::size_t k) {
  const std::vector<std::pair<const char*, std::string>> scalars = {
      {"false", "\x08"},
      {"true", "\x09"},
      {"integer", "\x10\x07"},
      {"wide integer", std::string("\x14", 1) + std::string(16, '\x01')},
      {"real", "\x22\x3F\x80\x00\x00"},
      {"date", std::string("\x33", 1) + std::string(8, '\x41')},
      {"data", "\x41z"},
      {"text", "\x51z"},
      {"UTF-16 text", std::string("\x61\x00z", 3)},
      {"archive reference", "\x80\x05"},
      {"empty array", "\xA0"},
      {"empty dict", "\xD0"},
      {"no such kind", "\x70"},
      {"cut short", "\x5F\x13"},
  };
  std::vector<std::pair<std::string, std::string>> docs;
  std::vector<std::size_t> each(k), first(k, 1), none;
  for (std::size_t i = 0; i < k; ++i) each[i] = i + 1;
  for (const auto& [name, object] : scalars) {
    std::vector<std::string> many{BinaryContainer(0xA, each)};
    many.insert(many.end(), k, object);
    docs.emplace_back(std::string("an array of ") + name + " objects", BinaryPropertyList(many));
    docs.emplace_back(std::string("every reference to one ") + name + " object",
                      BinaryPropertyList({BinaryContainer(0xA, first), object}));
  }
  std::vector<std::string> chain, doubling;
  for (std::size_t i = 0; i < k; ++i) {
    chain.push_back(BinaryContainer(0xA, i + 1 < k ? std::vector<std::size_t>{i + 1} : none));
    doubling.push_back(
        BinaryContainer(0xA, i + 1 < k ? std::vector<std::size_t>{i + 1, i + 1} : none));
  }
  docs.emplace_back("arrays nested k deep", BinaryPropertyList(chain));
  docs.emplace_back("arrays that double at every level", BinaryPropertyList(doubling));
  std::vector<std::size_t> keysAndValues(each);
  keysAndValues.insert(keysAndValues.end(), each.begin(), each.end());
  std::string dict = BinaryContainer(0xD, keysAndValues);
  // A dict's length counts pairs.
  for (int i = 0; i < 4; ++i) dict[2 + i] = static_cast<char>((k >> (24 - 8 * i)) & 0xFF);
  std::vector<std::string> keyed{dict};
  keyed.insert(keyed.end(), k, "\x51k");
  docs.emplace_back("a dict of k keys", BinaryPropertyList(keyed));
  return docs;
}

// One page's times at k and 4k.
struct Growth {
  std::string what;       // reader, context, group, literal
  std::size_t bytes = 0;  // of the page at 4k
  double small = 0, large = 0;
  double ratio() const { return large / std::max(small, 1e-9); }
};

// The times of `read` on a page at k and at 4k, taken in turns (so that the
// load of the machine falls on both alike): the fastest of `rounds` rounds of
// at least `least` seconds each.
inline Growth TimeGrowth(const std::function<std::size_t(std::string_view)>& read,
                         const std::string& small, const std::string& large, double least,
                         int rounds) {
  Growth g;
  g.bytes = large.size();
  g.small = g.large = 1e30;
  volatile std::size_t sink = 0;
  for (int r = 0; r < rounds; ++r) {
    g.small = std::min(g.small, SecondsPerCall([&] { sink = sink + read(small); }, least, 1));
    g.large = std::min(g.large, SecondsPerCall([&] { sink = sink + read(large); }, least, 1));
  }
  return g;
}

// Times `reader` on the pages of every literal in every context, each run about
// `runBytes` long at k (more when the page would be under `pageBytes`) and 4
// times that at 4k. `each` gets every growth, and a way to time the same pages
// again `scale` times larger, in `rounds` rounds of at least `least` seconds.
using TimeAgain = std::function<Growth(std::size_t scale, double least, int rounds)>;
inline void TimeReader(const TimedReader& reader, const std::vector<std::string>& literals,
                       std::size_t runBytes, std::size_t pageBytes, double least,
                       const std::function<void(const Growth&, const TimeAgain&)>& each) {
  const auto page = [&reader](std::string_view literal, const Context& context, std::size_t k,
                              std::size_t group) {
    return std::string(reader.head) + HostilePage(literal, context, k, group) +
           std::string(reader.tail);
  };
  for (const Context& context : reader.contexts) {
    for (const std::string& literal : literals) {
      for (std::size_t group = 0; group < kHostileGroups; ++group) {
        std::size_t k = std::max<std::size_t>(1, runBytes / literal.size());
        const std::size_t size = page(literal, context, k, group).size();
        if (size < pageBytes) k = k * (pageBytes / size + 1);
        const TimeAgain time = [&](std::size_t scale, double l, int rounds) {
          Growth g = TimeGrowth(reader.read, page(literal, context, k * scale, group),
                                page(literal, context, 4 * k * scale, group), l, rounds);
          g.what = std::string(reader.name) + ", " + context.name + ", group " +
                   std::to_string(group) + ": " + Printable(literal);
          return g;
        };
        each(time(1, least, 2), time);
      }
    }
  }
}

}  // namespace tobrine::test
