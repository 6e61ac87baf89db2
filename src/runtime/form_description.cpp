// Reading and writing the stored form description. Each layout is written down
// once, as a field list that both the reader and the writer walk, so the two
// cannot disagree. The reader trusts nothing: every length, count and offset is
// checked against the bytes that are left before anything is read or allocated.
#include "runtime/form_description.h"

#include <algorithm>
#include <concepts>
#include <set>
#include <type_traits>

namespace tobrine {
namespace {

constexpr std::size_t kReservedHeadSize = 20;  // before a record's name and a property block

// A bounded little-endian cursor. The first failed read makes every later read
// fail too and return zero or empty, so callers check ok() once per group.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : rest_(bytes) {}

  bool ok() const { return ok_; }
  bool AtEnd() const { return ok_ && rest_.empty(); }
  std::size_t remaining() const { return rest_.size(); }

  std::string_view Take(std::size_t n) {
    if (!ok_ || n > rest_.size()) return Fail();
    std::string_view out = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return out;
  }

  template <typename T>
  T Int() {
    static_assert(std::is_integral_v<T>);
    std::string_view b = Take(sizeof(T));
    if (b.size() != sizeof(T)) return 0;
    std::make_unsigned_t<T> v = 0;
    for (std::size_t i = sizeof(T); i-- > 0;) v = (v << 8) | static_cast<uint8_t>(b[i]);
    return static_cast<T>(v);
  }
  uint32_t U32() { return Int<uint32_t>(); }
  int32_t I32() { return Int<int32_t>(); }

  // A count of items of `item_size` bytes that must all still fit.
  std::size_t Count(std::size_t item_size) {
    int32_t n = I32();
    if (!ok_ || n < 0 || static_cast<std::size_t>(n) > rest_.size() / item_size) {
      Fail();
      return 0;
    }
    return static_cast<std::size_t>(n);
  }
  // An int32 length and that many bytes.
  std::string_view Counted() { return Take(Count(1)); }
  // Bytes up to a NUL, which is consumed.
  std::string_view CText() {
    std::size_t nul = ok_ ? rest_.find('\0') : std::string_view::npos;
    if (nul == std::string_view::npos) return Fail();
    std::string_view out = rest_.substr(0, nul);
    rest_.remove_prefix(nul + 1);
    return out;
  }

  // The field-list interface.
  template <typename T>
  void Field(T& v) {
    if constexpr (std::is_enum_v<T>) {
      v = static_cast<T>(Int<std::underlying_type_t<T>>());
    } else {
      v = Int<T>();
    }
  }
  template <typename T, std::size_t N>
  void Field(std::array<T, N>& values) {
    for (T& v : values) Field(v);
  }
  void Counted(std::string& bytes) { bytes = Counted(); }
  void CText(std::string& text) { text = CText(); }
  void Reserved(std::size_t n) { Take(n); }
  template <typename T, typename Each>
  void Items(std::vector<T>& items, std::size_t item_size, Each each) {
    items.resize(Count(item_size));
    for (T& item : items) each(item);
  }
  // A counted block that holds whole items and nothing else.
  template <typename T, typename Each>
  void ItemBlock(std::vector<T>& items, Each each) {
    Reader block(Counted());
    while (block.ok() && !block.AtEnd()) each(block, items.emplace_back());
    if (!block.ok()) Fail();
  }

 private:
  std::string_view Fail() {
    ok_ = false;
    rest_ = {};
    return {};
  }

  std::string_view rest_;
  bool ok_ = true;
};

class Writer {
 public:
  std::string& bytes() { return out_; }

  template <typename T>
  void Field(T value) {
    if constexpr (std::is_enum_v<T>) {
      Field(static_cast<std::underlying_type_t<T>>(value));
    } else {
      auto v = static_cast<std::make_unsigned_t<T>>(value);
      for (std::size_t i = 0; i < sizeof(T); ++i) {
        out_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
      }
    }
  }
  template <typename T, std::size_t N>
  void Field(const std::array<T, N>& values) {
    for (T v : values) Field(v);
  }
  void Counted(std::string_view bytes) {
    Field(static_cast<int32_t>(bytes.size()));
    out_.append(bytes);
  }
  void CText(std::string_view text) {
    out_.append(text);
    out_.push_back('\0');
  }
  void Reserved(std::size_t n) { out_.append(n, '\0'); }
  template <typename T, typename Each>
  void Items(const std::vector<T>& items, std::size_t, Each each) {
    Field(static_cast<int32_t>(items.size()));
    for (const T& item : items) each(item);
  }
  template <typename T, typename Each>
  void ItemBlock(const std::vector<T>& items, Each each) {
    Writer block;
    for (const T& item : items) each(block, item);
    Counted(block.bytes());
  }

 private:
  std::string out_;
};

// P is the structure, const when writing.
template <typename P, typename Struct>
concept Of = std::same_as<std::remove_const_t<P>, Struct>;

// ---------------------------------------------------------------------------
// The layouts.

template <typename Io, Of<WindowProperties> P>
void Fields(Io& io, P& p) {
  io.Field(p.borderMode);
  io.Field(p.unnamed1);
  io.Field(p.backgroundColour);
  io.Field(p.maximizeButton);
  io.Field(p.minimizeButton);
  io.Field(p.controlBox);
  io.Field(p.positionMode);
  io.Field(p.movable);
  io.Field(p.unnamed2);
  io.Field(p.unnamed3);
  io.Field(p.unnamed4);
  io.Field(p.alwaysOnTop);
  io.Field(p.unnamed5);
  io.Counted(p.className);
  io.Counted(p.backgroundPicture);
  io.Counted(p.icon);
  io.Counted(p.unnamedBlock);
  io.Counted(p.title);
  io.Counted(p.unnamedText);
}

template <typename Io, Of<EditBoxProperties> P>
void Fields(Io& io, P& p) {
  io.Field(p.borderMode);
  io.Field(p.textColour);
  io.Field(p.backgroundColour);
  io.Field(p.hideSelection);
  io.Field(p.maxLength);
  io.Field(p.multiLine);
  io.Field(p.scrollBars);
  io.Field(p.alignment);
  io.Field(p.inputMode);
  io.Field(p.passwordChar);  // 16 bits
  io.Field(p.caseConversion);
  io.Field(p.spinBox);
  io.Field(p.spinMinimum);
  io.Field(p.spinMaximum);
  io.Field(p.selectionStart);
  io.Field(p.selectionLength);
  io.Counted(p.font);
  io.Counted(p.content);
  io.Counted(p.unnamedText1);
  io.Counted(p.unnamedText2);
}

template <typename Io, Of<ButtonProperties> P>
void Fields(Io& io, P& p) {
  io.Field(p.buttonType);
  io.Field(p.horizontalAlignment);
  io.Field(p.verticalAlignment);
  io.Counted(p.picture);
  io.Counted(p.font);
  io.Counted(p.caption);
}

template <typename Io, Of<LabelProperties> P>
void Fields(Io& io, P& p) {
  io.Field(p.appearance);
  io.Counted(p.picture);
  io.Counted(p.font);
  io.Counted(p.text);
  io.Counted(p.unnamedText1);
  io.Counted(p.unnamedText2);
}

template <typename Io, Of<ColumnDefinition> C>
void Fields(Io& io, C& c) {
  io.Field(c.bitmapOnRight);  // 8 bits
  io.Field(c.image);
  io.Field(c.alignment);
  io.Field(c.width);
  io.CText(c.title);
}

template <typename Io, Of<ReportListProperties> P>
void Fields(Io& io, P& p) {
  io.Field(p.borderMode);
  io.Field(p.textColour);
  io.Field(p.textBackgroundColour);
  io.Field(p.backgroundColour);
  io.Field(p.view);
  io.Field(p.iconAlignment);
  io.Field(p.autoArrange);
  io.Field(p.labelWrap);
  io.Field(p.hideColumnHeaders);
  io.Field(p.headersClickable);
  io.Field(p.fullRowSelect);
  io.Field(p.gridLines);
  io.Field(p.headerDragDrop);
  io.Field(p.hotTracking);
  io.Field(p.unnamed1);
  io.Field(p.labelEditing);
  io.Field(p.sortOrder);
  io.Field(p.checkBoxes);
  io.Field(p.flatScrollBars);
  io.Field(p.singleSelection);
  io.Field(p.unnamed2);
  io.Field(p.alwaysShowSelection);
  io.Counted(p.font);
  io.Counted(p.headerImages);
  io.Counted(p.itemImages);
  io.ItemBlock(p.columns, [](Io& block, auto& c) { Fields(block, c); });
  io.Counted(p.stateImages);
  io.Counted(p.initialRows);
}

// A window entry's reserved head, before its units.
template <typename Io, Of<WindowEntry> W>
void Fields(Io& io, W& w) {
  io.Field(w.reservedValue1);
  io.Field(w.reservedValue2);
  io.Counted(w.reservedText1);
  io.Counted(w.reservedText2);
}

// Everything of a record before the kind's properties.
template <typename Io, Of<UnitRecord> U>
void Fields(Io& io, U& u) {
  io.Field(u.kind);
  io.Reserved(kReservedHeadSize);
  io.CText(u.name);
  io.CText(u.remark);
  io.Reserved(4);  // the created control, at run time
  io.Field(u.left);
  io.Field(u.top);
  io.Field(u.width);
  io.Field(u.height);
  io.Reserved(4);  // the mouse-pointer handle, at run time
  io.Field(u.parent);
  io.Items(u.children, 4, [&io](auto& child) { io.Field(child); });
  io.Counted(u.mousePointer);
  io.CText(u.tag);
  io.Reserved(4);
  io.Field(u.flags);
  io.Reserved(4);
  io.Items(u.events, 8, [&io](auto& e) {
    io.Field(e.event);
    io.Field(e.handlerOffset);
  });
  io.Reserved(kReservedHeadSize);
  io.Field(u.propertyVersion);
}

// ---------------------------------------------------------------------------
// Units.

template <typename P>
bool ReadKind(Reader& r, UnitRecord& unit, uint32_t version) {
  if (unit.propertyVersion != version) return false;
  P p;
  Fields(r, p);
  unit.properties = std::move(p);
  return r.ok();
}

// The properties of a stored kind code; false for a kind we do not know.
bool ReadUnitProperties(Reader& r, UnitRecord& unit) {
  switch (unit.kind) {
    case UnitKind::kWindow:
      return ReadKind<WindowProperties>(r, unit, kWindowPropertyVersion);
    case UnitKind::kEditBox:
      return ReadKind<EditBoxProperties>(r, unit, kEditBoxPropertyVersion);
    case UnitKind::kButton:
      return ReadKind<ButtonProperties>(r, unit, kButtonPropertyVersion);
    case UnitKind::kLabel:
      return ReadKind<LabelProperties>(r, unit, kLabelPropertyVersion);
    case UnitKind::kReportList:
      return ReadKind<ReportListProperties>(r, unit, kReportListPropertyVersion);
  }
  return false;
}

// One record; it must fill its stored size exactly.
std::optional<UnitRecord> ReadUnitRecord(std::string_view record, uint32_t id,
                                         int32_t handlerCount) {
  Reader r(record);
  UnitRecord u;
  u.id = id;
  Fields(r, u);
  if (!r.ok()) return std::nullopt;
  for (const EventBinding& e : u.events) {
    if (e.handlerOffset < kNoHandler || e.handlerOffset >= handlerCount) return std::nullopt;
  }
  if (!ReadUnitProperties(r, u) || !r.AtEnd()) return std::nullopt;
  return u;
}

// Unit 0 is the window and the only window; identifiers are unique; parents and
// children name units of this window.
bool UnitsConsistent(const std::vector<UnitRecord>& units) {
  if (units.empty() || units[0].kind != UnitKind::kWindow) return false;
  std::set<uint32_t> ids;
  for (const UnitRecord& u : units) {
    if (!ids.insert(u.id).second) return false;
  }
  for (std::size_t i = 0; i < units.size(); ++i) {
    const UnitRecord& u = units[i];
    if (i > 0 && u.kind == UnitKind::kWindow) return false;
    if (u.parent != 0 && (u.parent == u.id || !ids.count(u.parent))) return false;
    for (uint32_t child : u.children) {
      if (child == u.id || !ids.count(child)) return false;
    }
  }
  return true;
}

// The units block: identifiers, offsets, then the records one after another,
// each at the offset stored for it.
bool ReadUnits(std::string_view block, std::size_t count, int32_t handlerCount,
               std::vector<UnitRecord>& units) {
  if (count == 0 || count > block.size() / 8) return false;
  Reader table(block.substr(0, count * 8));
  std::vector<uint32_t> ids(count);
  for (uint32_t& id : ids) id = table.U32();
  Reader records(block.substr(count * 8));
  const std::size_t area_size = records.remaining();
  for (std::size_t i = 0; i < count; ++i) {
    if (table.U32() != area_size - records.remaining()) return false;
    std::string_view record = records.Counted();
    if (!records.ok()) return false;
    std::optional<UnitRecord> unit = ReadUnitRecord(record, ids[i], handlerCount);
    if (!unit) return false;
    units.push_back(std::move(*unit));
  }
  return records.AtEnd() && UnitsConsistent(units);
}

std::string UnitsBlock(const std::vector<UnitRecord>& units) {
  Writer records;
  std::vector<uint32_t> offsets;
  for (const UnitRecord& u : units) {
    offsets.push_back(static_cast<uint32_t>(records.bytes().size()));
    Writer record;
    Fields(record, u);
    std::visit([&record](const auto& p) { Fields(record, p); }, u.properties);
    records.Counted(record.bytes());
  }
  Writer block;
  for (const UnitRecord& u : units) block.Field(u.id);
  for (uint32_t offset : offsets) block.Field(offset);
  block.bytes() += records.bytes();
  return std::move(block.bytes());
}

}  // namespace

std::optional<FormDescription> ParseFormDescription(std::string_view bytes, int32_t handlerCount) {
  Reader r(bytes);
  const int32_t table_size = r.I32();
  if (!r.ok() || table_size <= 0 || table_size % 8 != 0) return std::nullopt;
  Reader table(r.Take(static_cast<std::size_t>(table_size)));
  if (!r.ok()) return std::nullopt;

  FormDescription form;
  form.windows.resize(static_cast<std::size_t>(table_size) / 8);
  for (WindowEntry& window : form.windows) window.id = table.U32();
  for (WindowEntry& window : form.windows) {
    Fields(r, window);
    const int32_t unit_count = r.I32();
    std::string_view units = r.Counted();
    if (!r.ok() || unit_count <= 0 ||
        !ReadUnits(units, static_cast<std::size_t>(unit_count), handlerCount, window.units)) {
      return std::nullopt;
    }
  }
  if (!r.AtEnd()) return std::nullopt;
  return form;
}

std::string SerializeFormDescription(const FormDescription& form) {
  Writer w;
  w.Field(static_cast<int32_t>(form.windows.size() * 8));
  for (const WindowEntry& window : form.windows) w.Field(window.id);
  w.Reserved(form.windows.size() * 4);  // the loaded window objects, at run time
  for (const WindowEntry& window : form.windows) {
    Fields(w, window);
    w.Field(static_cast<int32_t>(window.units.size()));
    w.Counted(UnitsBlock(window.units));
  }
  return std::move(w.bytes());
}

const UnitRecord* FindUnit(const WindowEntry& window, uint32_t id) {
  auto it = std::find_if(window.units.begin(), window.units.end(),
                         [id](const UnitRecord& u) { return u.id == id; });
  return it == window.units.end() ? nullptr : &*it;
}

std::vector<IconImage> IconFileImages(std::string_view icon) {
  constexpr std::size_t kHeaderSize = 6;
  constexpr std::size_t kEntrySize = 16;
  Reader r(icon);
  const uint16_t reserved = r.Int<uint16_t>();
  const uint16_t type = r.Int<uint16_t>();
  const uint16_t count = r.Int<uint16_t>();
  if (!r.ok() || reserved != 0 || type != 1 || count == 0) return {};
  std::vector<IconImage> images;
  for (uint16_t i = 0; i < count; ++i) {
    IconImage image;
    image.width = r.Int<uint8_t>();
    image.height = r.Int<uint8_t>();
    r.Reserved(4);  // colour count, reserved, planes
    image.bitCount = r.Int<uint16_t>();
    const uint32_t size = r.U32();
    const uint32_t offset = r.U32();
    if (!r.ok() || size == 0 || offset < kHeaderSize + kEntrySize * count || offset > icon.size() ||
        size > icon.size() - offset) {
      return {};
    }
    if (image.width == 0) image.width = 256;
    if (image.height == 0) image.height = 256;
    image.bits = icon.substr(offset, size);
    images.push_back(image);
  }
  return images;
}

}  // namespace tobrine
