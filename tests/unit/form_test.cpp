// The stored form description: the values it holds, the round trip, and a reader
// that refuses every truncated or inconsistent description without over-reading.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/resources.h"
#include "test_support.h"
#include "window/handlers.h"
#include "window/main_form.h"

namespace tobrine::window {
namespace {

// Read against the program's handler table.
std::optional<FormDescription> Parse(std::string_view bytes) {
  return ParseFormDescription(bytes, kEventHandlerCount);
}
FormDescription ParseOrReport(std::string_view bytes) {
  return ParseFormDescriptionOrReport(bytes, kEventHandlerCount);
}

std::string Stored() {
  return std::string(platform::StoredFormBytes());
}

FormDescription StoredForm() {
  std::optional<FormDescription> form = Parse(platform::StoredFormBytes());
  EXPECT_TRUE(form.has_value());
  return form ? std::move(*form) : FormDescription{};
}

template <typename P>
const P& Props(const WindowEntry& window, uint32_t id) {
  const UnitRecord* unit = FindUnit(window, id);
  static const P kNone{};
  if (!unit || !std::holds_alternative<P>(unit->properties)) {
    ADD_FAILURE() << "unit " << std::hex << id << " missing or of another kind";
    return kNone;
  }
  return std::get<P>(unit->properties);
}

// ---------------------------------------------------------------------------
// The values this program stores.

TEST(StoredForm, UnitsInStoredOrderWithTheirRectanglesAndFlags) {
  const FormDescription form = StoredForm();
  ASSERT_EQ(form.windows.size(), 1u);
  const WindowEntry& w = form.windows[0];
  EXPECT_EQ(w.id, kMainFormId);
  EXPECT_TRUE(w.reservedText1.empty());
  EXPECT_TRUE(w.reservedText2.empty());

  struct Row {
    uint32_t id;
    UnitKind kind;
    const char* name;
    int32_t left, top, width, height;
    uint32_t flags;
    uint32_t version;
    std::vector<EventBinding> events;
  } rows[] = {
      {kWindowUnitId, UnitKind::kWindow, "", 50, 50, 583, 342, 1, 6, {}},
      {kLabel2, UnitKind::kLabel, "标签2", 88, 282, 400, 19, 1, 2, {}},
      {kButton1, UnitKind::kButton, "按钮1", 504, 16, 56, 32, 5, 1, {{0, kLinkExtractorHandler}}},
      {kReportList1,
       UnitKind::kReportList,
       "超级列表框1",
       16,
       56,
       544,
       216,
       5,
       1,
       {{-3, kOpenSelectedLinkHandler}}},
      {kLabel1, UnitKind::kLabel, "标签1", 16, 16, 64, 32, 1, 2, {}},
      {kEditBox1, UnitKind::kEditBox, "编辑框1", 80, 16, 416, 32, 5, 2, {}},
  };
  ASSERT_EQ(w.units.size(), std::size(rows));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    const UnitRecord& u = w.units[i];
    SCOPED_TRACE(r.name);
    EXPECT_EQ(u.id, r.id);
    EXPECT_EQ(u.kind, r.kind);
    EXPECT_EQ(u.name, r.name);
    EXPECT_EQ(u.remark, "");
    EXPECT_EQ(u.tag, "");
    EXPECT_EQ(u.left, r.left);
    EXPECT_EQ(u.top, r.top);
    EXPECT_EQ(u.width, r.width);
    EXPECT_EQ(u.height, r.height);
    EXPECT_EQ(u.parent, 0u);
    EXPECT_TRUE(u.children.empty());
    EXPECT_EQ(u.mousePointer, std::string(4, '\0'));
    EXPECT_EQ(u.flags, r.flags);
    EXPECT_EQ(u.propertyVersion, r.version);
    EXPECT_EQ(u.events, r.events);
  }
}

TEST(StoredForm, WindowProperties) {
  const FormDescription form = StoredForm();
  ASSERT_FALSE(form.windows.empty());
  const auto& p = Props<WindowProperties>(form.windows[0], kWindowUnitId);
  EXPECT_EQ(p.title, "Tobrine 1.0.1 BY：Velmar");
  EXPECT_EQ(p.title.size(), 24u);  // the full-width colon is two bytes
  EXPECT_EQ(p.borderMode, 2);
  EXPECT_EQ(p.unnamed1, 1);
  EXPECT_EQ(p.backgroundColour, 0xFF000000u);
  EXPECT_EQ(p.maximizeButton, 0);
  EXPECT_EQ(p.minimizeButton, 1);
  EXPECT_EQ(p.controlBox, 1);
  EXPECT_EQ(p.positionMode, 1);
  EXPECT_EQ(p.movable, 1);
  EXPECT_THAT(p.unnamed2, testing::ElementsAre(0, 0, 1, 0, 0));
  EXPECT_EQ(p.unnamed3, 1);
  EXPECT_THAT(p.unnamed4, testing::ElementsAre(0, 0));
  EXPECT_EQ(p.alwaysOnTop, 0);
  EXPECT_EQ(p.unnamed5, 0);
  EXPECT_EQ(p.className, "");
  EXPECT_EQ(p.backgroundPicture, "");
  EXPECT_EQ(p.unnamedBlock, "");
  EXPECT_EQ(p.unnamedText, "");
  EXPECT_EQ(p.icon.size(), 91782u);
}

TEST(StoredForm, IconHoldsEightUncompressedImages) {
  const FormDescription form = StoredForm();
  ASSERT_FALSE(form.windows.empty());
  const std::string& icon = Props<WindowProperties>(form.windows[0], kWindowUnitId).icon;
  const std::vector<IconImage> images = IconFileImages(icon);
  struct Row {
    int size, bits;
  } rows[] = {{48, 4}, {48, 8}, {32, 8}, {16, 8}, {128, 32}, {48, 32}, {32, 32}, {16, 32}};
  ASSERT_EQ(images.size(), std::size(rows));
  for (std::size_t i = 0; i < images.size(); ++i) {
    const IconImage& im = images[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(im.width, rows[i].size);
    EXPECT_EQ(im.height, rows[i].size);
    EXPECT_EQ(im.bitCount, rows[i].bits);
    // Header, palette, XOR rows and AND rows, each row padded to 32 bits.
    const std::size_t n = static_cast<std::size_t>(rows[i].size);
    const std::size_t palette = rows[i].bits < 32 ? (std::size_t{1} << rows[i].bits) * 4 : 0;
    const std::size_t xor_row = (n * rows[i].bits + 31) / 32 * 4;
    const std::size_t and_row = (n + 31) / 32 * 4;
    EXPECT_EQ(im.bits.size(), 40 + palette + (xor_row + and_row) * n);
    ASSERT_GE(im.bits.size(), 16u);
    int32_t header_height = 0;
    uint16_t compression_and_bits[3] = {};
    std::memcpy(&header_height, im.bits.data() + 8, 4);
    std::memcpy(compression_and_bits, im.bits.data() + 14, 6);
    EXPECT_EQ(header_height, 2 * rows[i].size);
    EXPECT_EQ(compression_and_bits[0], rows[i].bits);
    EXPECT_EQ(compression_and_bits[1], 0);  // uncompressed
  }
}

// ---------------------------------------------------------------------------
// Round trip and the load path.

TEST(FormDescription, RoundTripsByteForByte) {
  const std::string stored = Stored();
  const FormDescription form = StoredForm();
  EXPECT_EQ(SerializeFormDescription(form), stored);
  EXPECT_EQ(Parse(SerializeFormDescription(form)), form);
  EXPECT_EQ(LoadStoredForm(), form);
  EXPECT_EQ(&LoadStoredForm(), &LoadStoredForm());  // read once
  EXPECT_EQ(ParseOrReport(stored), form);
}

TEST(FormDescriptionDeathTest, UnreadableDescriptionIsReported) {
  const std::string cut = Stored().substr(0, 100);
  EXPECT_EXIT(ParseOrReport(cut), test::EndsFatally(),
              testing::HasSubstr(test::ReportText("载入窗口模板数据段出错!", 0)));
  EXPECT_EXIT(ParseOrReport(""), test::EndsFatally(),
              testing::HasSubstr(test::ReportText("载入窗口模板数据段出错!", 0)));
}

// ---------------------------------------------------------------------------
// Robustness. The stored bytes are taken apart with plain offsets here, so that
// fields can be damaged one at a time while everything around stays consistent.

int32_t GetI32(const std::string& b, std::size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b.at(at + i));
  return static_cast<int32_t>(v);
}
void SetI32(std::string& b, std::size_t at, int32_t value) {
  for (int i = 0; i < 4; ++i)
    b.at(at + i) = static_cast<char>((static_cast<uint32_t>(value) >> (8 * i)) & 0xFF);
}
std::string I32Bytes(int32_t value) {
  std::string b(4, '\0');
  SetI32(b, 0, value);
  return b;
}

// Where things are in a one-window description.
struct Layout {
  std::size_t unitCountAt;  // followed by the units block's size
  std::size_t unitsAt;      // first unit identifier
  std::size_t count;
  std::vector<std::string> records;            // without their size fields
  std::size_t RecordAt(std::size_t i) const {  // the record's own bytes
    std::size_t at = unitsAt + 8 * count + 4;
    for (std::size_t k = 0; k < i; ++k) at += records[k].size() + 4;
    return at;
  }
};

Layout Locate(const std::string& b) {
  Layout l;
  std::size_t at = 4 + static_cast<std::size_t>(GetI32(b, 0));
  at += 8;
  at += 4 + static_cast<std::size_t>(GetI32(b, at));
  at += 4 + static_cast<std::size_t>(GetI32(b, at));
  l.unitCountAt = at;
  l.count = static_cast<std::size_t>(GetI32(b, at));
  l.unitsAt = at + 8;
  std::size_t r = l.unitsAt + 8 * l.count;
  for (std::size_t i = 0; i < l.count; ++i) {
    const auto size = static_cast<std::size_t>(GetI32(b, r));
    l.records.push_back(b.substr(r + 4, size));
    r += 4 + size;
  }
  return l;
}

// The description with record `i` replaced and every size and offset around it
// written to match.
std::string WithRecord(const std::string& b, const Layout& l, std::size_t i,
                       const std::string& record) {
  std::string area;
  std::string offsets;
  for (std::size_t k = 0; k < l.count; ++k) {
    offsets += I32Bytes(static_cast<int32_t>(area.size()));
    const std::string& r = k == i ? record : l.records[k];
    area += I32Bytes(static_cast<int32_t>(r.size())) + r;
  }
  std::string out = b.substr(0, l.unitCountAt + 4);
  out += I32Bytes(static_cast<int32_t>(8 * l.count + area.size()));
  out += b.substr(l.unitsAt, 4 * l.count) + offsets + area;
  return out;
}

TEST(FormDescriptionReader, LayoutHelperRebuildsTheStoredBytes) {
  const std::string b = Stored();
  const Layout l = Locate(b);
  ASSERT_EQ(l.count, 6u);
  EXPECT_EQ(WithRecord(b, l, 3, l.records[3]), b);
}

TEST(FormDescriptionReader, EveryTruncationIsRefused) {
  const std::string b = Stored();
  for (std::size_t n = 0; n < b.size(); ++n) {
    ASSERT_FALSE(Parse(std::string_view(b).substr(0, n))) << "cut at " << n;
  }
}

// A record cut short, with every outer size telling the truth about the cut.
TEST(FormDescriptionReader, EveryTruncatedRecordIsRefused) {
  const std::string b = Stored();
  const Layout l = Locate(b);
  for (std::size_t i = 0; i < l.count; ++i) {
    const std::string& record = l.records[i];
    for (std::size_t n = 0; n < record.size(); ++n) {
      // Inside the icon of the window record, a sample of the cuts is enough.
      if (record.size() > 10000 && n > 200 && n + 200 < record.size() && n % 1009 != 0) continue;
      std::optional<FormDescription> parsed = Parse(WithRecord(b, l, i, record.substr(0, n)));
      ASSERT_FALSE(parsed) << "record " << i << " cut at " << n;
    }
    EXPECT_FALSE(Parse(WithRecord(b, l, i, record + '\0'))) << "record " << i << " + 1";
  }
}

// Positions inside a record whose name is `n` bytes long and which has no children.
constexpr std::size_t NameAt() {
  return 24;
}
constexpr std::size_t LeftAt(std::size_t n) {
  return NameAt() + n + 2 + 4;
}
constexpr std::size_t ChildCountAt(std::size_t n) {
  return LeftAt(n) + 16 + 4 + 4;
}
constexpr std::size_t PointerBlockAt(std::size_t n) {
  return ChildCountAt(n) + 4;
}
// After a 4-byte pointer block, the tag's NUL, reserved, flags, reserved.
constexpr std::size_t EventCountAt(std::size_t n) {
  return PointerBlockAt(n) + 8 + 1 + 12;
}
constexpr std::size_t VersionAt(std::size_t n, std::size_t events) {
  return EventCountAt(n) + 4 + 8 * events + 20;
}

// The stored bytes with one field damaged, everything around it kept consistent.
TEST(FormDescriptionReader, DamagedFieldsAreRefused) {
  const std::string b = Stored();
  const Layout l = Locate(b);
  const std::size_t units_size_at = l.unitCountAt + 4;
  const std::size_t offsets_at = l.unitsAt + 4 * l.count;
  // Unit 2 is 按钮1, unit 3 超级列表框1, unit 5 编辑框1.
  const std::string& button = l.records[2];
  const std::size_t button_events_at = EventCountAt(5);
  const std::string& edit = l.records[5];
  const std::size_t edit_content_at = edit.size() - 8 - 47;
  const std::string& list = l.records[3];
  const std::size_t columns_at = list.size() - 8 - 36 - 4;

  using Damage = std::function<std::string()>;
  auto set = [&](std::size_t at, int32_t v) {
    return [=, &b] {
      std::string d = b;
      SetI32(d, at, v);
      return d;
    };
  };
  auto in_record = [&](std::size_t i, std::size_t at, int32_t v) {
    return [=, &b, &l] {
      std::string r = l.records[i];
      SetI32(r, at, v);
      return WithRecord(b, l, i, r);
    };
  };
  auto byte_in_record = [&](std::size_t i, std::size_t at, char v) {
    return [=, &b, &l] {
      std::string r = l.records[i];
      r.at(at) = v;
      return WithRecord(b, l, i, r);
    };
  };
  // The sanity row: a harmless change is still read.
  ASSERT_TRUE(Parse(in_record(5, LeftAt(7), 81)()));
  ASSERT_EQ(GetI32(edit, LeftAt(7)), 80);
  ASSERT_EQ(GetI32(l.records[0], VersionAt(0, 0)), 6);
  ASSERT_EQ(GetI32(l.records[1], VersionAt(5, 0)), 2);
  ASSERT_EQ(GetI32(button, ChildCountAt(5)), 0);
  ASSERT_EQ(GetI32(button, PointerBlockAt(5)), 4);
  ASSERT_EQ(GetI32(button, button_events_at), 1);
  ASSERT_EQ(GetI32(button, button_events_at + 8), kLinkExtractorHandler);
  ASSERT_EQ(GetI32(edit, edit_content_at), 43);
  ASSERT_EQ(GetI32(list, columns_at), 36);

  struct Row {
    const char* what;
    Damage damage;
  } rows[] = {
      {"window table size 0", set(0, 0)},
      {"window table size not a multiple of 8", set(0, 12)},
      {"window table size negative", set(0, -8)},
      {"window table claims two windows", set(0, 16)},
      {"reserved text length negative", set(4 + 8 + 8, -1)},
      {"reserved text length past the end", set(4 + 8 + 8, 0x7FFFFFFF)},
      {"unit count 0", set(l.unitCountAt, 0)},
      {"unit count negative", set(l.unitCountAt, -1)},
      {"unit count one too many", set(l.unitCountAt, 7)},
      {"unit count one too few", set(l.unitCountAt, 5)},
      {"unit count huge", set(l.unitCountAt, 0x20000000)},
      {"units block one byte longer", set(units_size_at, GetI32(b, units_size_at) + 1)},
      {"units block one byte shorter", set(units_size_at, GetI32(b, units_size_at) - 1)},
      {"units block negative", set(units_size_at, -1)},
      {"first record offset not 0", set(offsets_at, 4)},
      {"record offset off by one", set(offsets_at + 8, GetI32(b, offsets_at + 8) + 1)},
      {"record offset past the area", set(offsets_at + 20, 0x7FFFFFF0)},
      {"record size one more",
       set(l.RecordAt(1) - 4, static_cast<int32_t>(l.records[1].size() + 1))},
      {"record size negative", set(l.RecordAt(1) - 4, -4)},
      {"unknown kind", in_record(1, 0, 0x00010099)},
      {"window kind on a control", in_record(1, 0, 0x00010001)},
      {"label kind on the window", in_record(0, 0, 0x0001000A)},
      {"name without its NUL", byte_in_record(1, NameAt() + 5, 'x')},
      {"child count 1 without a child", in_record(2, ChildCountAt(5), 1)},
      {"child count negative", in_record(2, ChildCountAt(5), -1)},
      {"mouse pointer block too long", in_record(2, PointerBlockAt(5), 9)},
      {"event count 2", in_record(2, button_events_at, 2)},
      {"event count negative", in_record(2, button_events_at, -1)},
      {"handler offset past the table", in_record(2, button_events_at + 8, kEventHandlerCount)},
      {"handler offset below -1", in_record(2, button_events_at + 8, -2)},
      {"window property version 5", in_record(0, VersionAt(0, 0), 5)},
      {"label property version 1", in_record(1, VersionAt(5, 0), 1)},
      {"edit content length negative", in_record(5, edit_content_at, -1)},
      {"edit content one byte longer", in_record(5, edit_content_at, 44)},
      {"column block one byte shorter", in_record(3, columns_at, 35)},
      {"column title without its NUL", byte_in_record(3, columns_at + 4 + 35, 'x')},
      {"trailing byte", [&b] { return b + '\0'; }},
  };
  for (const Row& row : rows) {
    const std::string damaged = row.damage();
    EXPECT_NE(damaged, b) << row.what;
    EXPECT_FALSE(Parse(damaged)) << row.what;
  }
}

// Descriptions that are well formed byte by byte but do not make sense.
TEST(FormDescriptionReader, InconsistentDescriptionsAreRefused) {
  const FormDescription stored = StoredForm();
  ASSERT_EQ(stored.windows.size(), 1u);
  using Change = std::function<void(FormDescription&)>;
  struct Row {
    const char* what;
    Change change;
  } rows[] = {
      {"no windows", [](FormDescription& f) { f.windows.clear(); }},
      {"a window without units", [](FormDescription& f) { f.windows[0].units.clear(); }},
      {"no window unit",
       [](FormDescription& f) { f.windows[0].units.erase(f.windows[0].units.begin()); }},
      {"window unit not first",
       [](FormDescription& f) { std::swap(f.windows[0].units[0], f.windows[0].units[1]); }},
      {"a second window unit",
       [](FormDescription& f) {
         UnitRecord copy = f.windows[0].units[0];
         copy.id = 0x06010001;
         f.windows[0].units.push_back(copy);
       }},
      {"duplicate unit identifier",
       [](FormDescription& f) { f.windows[0].units[2].id = f.windows[0].units[1].id; }},
      {"parent that is no unit",
       [](FormDescription& f) { f.windows[0].units[1].parent = 0x16010099; }},
      {"parent is itself",
       [](FormDescription& f) { f.windows[0].units[1].parent = f.windows[0].units[1].id; }},
      {"child that is no unit",
       [](FormDescription& f) { f.windows[0].units[0].children = {0x16010099}; }},
      {"edit box with the label's version",
       [](FormDescription& f) { f.windows[0].units[5].propertyVersion = 1; }},
      {"list with version 2",
       [](FormDescription& f) { f.windows[0].units[3].propertyVersion = 2; }},
      {"button with version 2",
       [](FormDescription& f) { f.windows[0].units[2].propertyVersion = 2; }},
      {"window with version 7",
       [](FormDescription& f) { f.windows[0].units[0].propertyVersion = 7; }},
  };
  for (const Row& row : rows) {
    FormDescription changed = stored;
    row.change(changed);
    EXPECT_FALSE(Parse(SerializeFormDescription(changed))) << row.what;
  }
  // The same path accepts what does make sense: a second window, a unit's child.
  FormDescription two = stored;
  two.windows.push_back(stored.windows[0]);
  two.windows[1].id = 0x52010002;
  two.windows[0].units[0].children = {kEditBox1};
  EXPECT_EQ(Parse(SerializeFormDescription(two)), two);
}

TEST(IconFileImages, RefusesMalformedIcons) {
  const FormDescription form = StoredForm();
  ASSERT_FALSE(form.windows.empty());
  const std::string icon = Props<WindowProperties>(form.windows[0], kWindowUnitId).icon;
  ASSERT_EQ(IconFileImages(icon).size(), 8u);
  auto with = [&icon](std::size_t at, int32_t v) {
    std::string d = icon;
    SetI32(d, at, v);
    return d;
  };
  const std::size_t last_entry = 6 + 16 * 7;
  const std::string rows[] = {
      icon.substr(0, 5),
      icon.substr(0, 6 + 16 * 8 - 1),
      icon.substr(0, icon.size() - 1),   // last image runs past the end
      with(0, 0x00020000),               // type 2 is a cursor file
      with(last_entry + 8, 0x7FFFFFFF),  // size
      with(last_entry + 12, 3),          // offset inside the directory
      with(last_entry + 12, static_cast<int32_t>(icon.size())),
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_TRUE(IconFileImages(rows[i]).empty()) << i;
  }
}

}  // namespace
}  // namespace tobrine::window
