// Reading and writing the stored form description. The reader trusts nothing:
// every length, count and offset is checked against the bytes that are left
// before anything is read or allocated.
#include "app/form_description.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <type_traits>

#include "app/handlers.h"

namespace tobrine::app {
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
  void Skip(std::size_t n) { Take(n); }

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
  void Int(T value) {
    auto v = static_cast<std::make_unsigned_t<T>>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i)
      out_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  void Zeros(std::size_t n) { out_.append(n, '\0'); }
  void Counted(std::string_view bytes) {
    Int(static_cast<int32_t>(bytes.size()));
    out_.append(bytes);
  }
  void CText(std::string_view text) {
    out_.append(text);
    out_.push_back('\0');
  }

 private:
  std::string out_;
};

// ---------------------------------------------------------------------------
// Property blocks, one reader and one writer per kind, field for field.

template <std::size_t N, typename T>
void ReadArray(Reader& r, std::array<T, N>& values) {
  for (T& v : values) v = r.Int<T>();
}

bool ReadProperties(Reader& r, WindowProperties& p) {
  p.borderMode = r.I32();
  p.unnamed1 = r.I32();
  p.backgroundColour = r.U32();
  p.maximizeButton = r.I32();
  p.minimizeButton = r.I32();
  p.controlBox = r.I32();
  p.positionMode = r.I32();
  p.movable = r.I32();
  ReadArray(r, p.unnamed2);
  p.unnamed3 = r.I32();
  ReadArray(r, p.unnamed4);
  p.alwaysOnTop = r.I32();
  p.unnamed5 = r.I32();
  p.className = r.Counted();
  p.backgroundPicture = r.Counted();
  p.icon = r.Counted();
  p.unnamedBlock = r.Counted();
  p.title = r.Counted();
  p.unnamedText = r.Counted();
  return r.ok();
}

void WriteProperties(Writer& w, const WindowProperties& p) {
  w.Int(p.borderMode);
  w.Int(p.unnamed1);
  w.Int(p.backgroundColour);
  w.Int(p.maximizeButton);
  w.Int(p.minimizeButton);
  w.Int(p.controlBox);
  w.Int(p.positionMode);
  w.Int(p.movable);
  for (int32_t v : p.unnamed2) w.Int(v);
  w.Int(p.unnamed3);
  for (int32_t v : p.unnamed4) w.Int(v);
  w.Int(p.alwaysOnTop);
  w.Int(p.unnamed5);
  w.Counted(p.className);
  w.Counted(p.backgroundPicture);
  w.Counted(p.icon);
  w.Counted(p.unnamedBlock);
  w.Counted(p.title);
  w.Counted(p.unnamedText);
}

bool ReadProperties(Reader& r, EditBoxProperties& p) {
  p.borderMode = r.I32();
  p.textColour = r.U32();
  p.backgroundColour = r.U32();
  p.hideSelection = r.I32();
  p.maxLength = r.I32();
  p.multiLine = r.I32();
  p.scrollBars = r.I32();
  p.alignment = r.I32();
  p.inputMode = r.I32();
  p.passwordChar = r.Int<uint16_t>();
  p.caseConversion = r.I32();
  p.spinBox = r.I32();
  p.spinMinimum = r.I32();
  p.spinMaximum = r.I32();
  p.selectionStart = r.I32();
  p.selectionLength = r.I32();
  p.font = r.Counted();
  p.content = r.Counted();
  p.unnamedText1 = r.Counted();
  p.unnamedText2 = r.Counted();
  return r.ok();
}

void WriteProperties(Writer& w, const EditBoxProperties& p) {
  w.Int(p.borderMode);
  w.Int(p.textColour);
  w.Int(p.backgroundColour);
  w.Int(p.hideSelection);
  w.Int(p.maxLength);
  w.Int(p.multiLine);
  w.Int(p.scrollBars);
  w.Int(p.alignment);
  w.Int(p.inputMode);
  w.Int(p.passwordChar);
  w.Int(p.caseConversion);
  w.Int(p.spinBox);
  w.Int(p.spinMinimum);
  w.Int(p.spinMaximum);
  w.Int(p.selectionStart);
  w.Int(p.selectionLength);
  w.Counted(p.font);
  w.Counted(p.content);
  w.Counted(p.unnamedText1);
  w.Counted(p.unnamedText2);
}

bool ReadProperties(Reader& r, ButtonProperties& p) {
  p.buttonType = r.I32();
  p.horizontalAlignment = r.I32();
  p.verticalAlignment = r.I32();
  p.picture = r.Counted();
  p.font = r.Counted();
  p.caption = r.Counted();
  return r.ok();
}

void WriteProperties(Writer& w, const ButtonProperties& p) {
  w.Int(p.buttonType);
  w.Int(p.horizontalAlignment);
  w.Int(p.verticalAlignment);
  w.Counted(p.picture);
  w.Counted(p.font);
  w.Counted(p.caption);
}

bool ReadProperties(Reader& r, LabelProperties& p) {
  ReadArray(r, p.appearance);
  p.picture = r.Counted();
  p.font = r.Counted();
  p.text = r.Counted();
  p.unnamedText1 = r.Counted();
  p.unnamedText2 = r.Counted();
  return r.ok();
}

void WriteProperties(Writer& w, const LabelProperties& p) {
  for (uint32_t v : p.appearance) w.Int(v);
  w.Counted(p.picture);
  w.Counted(p.font);
  w.Counted(p.text);
  w.Counted(p.unnamedText1);
  w.Counted(p.unnamedText2);
}

// The column block holds whole entries and nothing else.
bool ReadColumns(std::string_view block, std::vector<ColumnDefinition>& columns) {
  Reader r(block);
  while (r.ok() && !r.AtEnd()) {
    ColumnDefinition c;
    c.bitmapOnRight = r.Int<uint8_t>();
    c.image = r.I32();
    c.alignment = r.I32();
    c.width = r.I32();
    c.title = r.CText();
    if (r.ok()) columns.push_back(std::move(c));
  }
  return r.ok();
}

std::string ColumnBlock(const std::vector<ColumnDefinition>& columns) {
  Writer w;
  for (const ColumnDefinition& c : columns) {
    w.Int(c.bitmapOnRight);
    w.Int(c.image);
    w.Int(c.alignment);
    w.Int(c.width);
    w.CText(c.title);
  }
  return std::move(w.bytes());
}

bool ReadProperties(Reader& r, ReportListProperties& p) {
  p.borderMode = r.I32();
  p.textColour = r.U32();
  p.textBackgroundColour = r.U32();
  p.backgroundColour = r.U32();
  p.view = r.I32();
  p.iconAlignment = r.I32();
  p.autoArrange = r.I32();
  p.labelWrap = r.I32();
  p.hideColumnHeaders = r.I32();
  p.headersClickable = r.I32();
  p.fullRowSelect = r.I32();
  p.gridLines = r.I32();
  p.headerDragDrop = r.I32();
  p.hotTracking = r.I32();
  ReadArray(r, p.unnamed1);
  p.labelEditing = r.I32();
  p.sortOrder = r.I32();
  p.checkBoxes = r.I32();
  p.flatScrollBars = r.I32();
  p.singleSelection = r.I32();
  p.unnamed2 = r.I32();
  p.alwaysShowSelection = r.I32();
  p.font = r.Counted();
  p.headerImages = r.Counted();
  p.itemImages = r.Counted();
  std::string_view columns = r.Counted();
  p.stateImages = r.Counted();
  p.initialRows = r.Counted();
  return r.ok() && ReadColumns(columns, p.columns);
}

void WriteProperties(Writer& w, const ReportListProperties& p) {
  w.Int(p.borderMode);
  w.Int(p.textColour);
  w.Int(p.textBackgroundColour);
  w.Int(p.backgroundColour);
  w.Int(p.view);
  w.Int(p.iconAlignment);
  w.Int(p.autoArrange);
  w.Int(p.labelWrap);
  w.Int(p.hideColumnHeaders);
  w.Int(p.headersClickable);
  w.Int(p.fullRowSelect);
  w.Int(p.gridLines);
  w.Int(p.headerDragDrop);
  w.Int(p.hotTracking);
  for (int32_t v : p.unnamed1) w.Int(v);
  w.Int(p.labelEditing);
  w.Int(p.sortOrder);
  w.Int(p.checkBoxes);
  w.Int(p.flatScrollBars);
  w.Int(p.singleSelection);
  w.Int(p.unnamed2);
  w.Int(p.alwaysShowSelection);
  w.Counted(p.font);
  w.Counted(p.headerImages);
  w.Counted(p.itemImages);
  w.Counted(ColumnBlock(p.columns));
  w.Counted(p.stateImages);
  w.Counted(p.initialRows);
}

// The property reader and version for a stored kind code; false for a kind we do not know.
template <typename P>
bool ReadKind(Reader& r, UnitRecord& unit, uint32_t version) {
  if (unit.propertyVersion != version) return false;
  P p;
  if (!ReadProperties(r, p)) return false;
  unit.properties = std::move(p);
  return true;
}

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
std::optional<UnitRecord> ReadUnitRecord(std::string_view record, uint32_t id) {
  Reader r(record);
  UnitRecord u;
  u.id = id;
  u.kind = static_cast<UnitKind>(r.U32());
  r.Skip(kReservedHeadSize);
  u.name = r.CText();
  u.remark = r.CText();
  r.Skip(4);  // the created control, at run time
  u.left = r.I32();
  u.top = r.I32();
  u.width = r.I32();
  u.height = r.I32();
  r.Skip(4);  // the mouse-pointer handle, at run time
  u.parent = r.U32();
  u.children.resize(r.Count(4));
  for (uint32_t& child : u.children) child = r.U32();
  u.mousePointer = r.Counted();
  u.tag = r.CText();
  r.Skip(4);
  u.flags = r.U32();
  r.Skip(4);
  u.events.resize(r.Count(8));
  for (EventBinding& e : u.events) {
    e.event = r.I32();
    e.handlerOffset = r.I32();
    if (e.handlerOffset < kNoHandler || e.handlerOffset >= kEventHandlerCount) return std::nullopt;
  }
  r.Skip(kReservedHeadSize);
  u.propertyVersion = r.U32();
  if (!r.ok() || !ReadUnitProperties(r, u) || !r.AtEnd()) return std::nullopt;
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
bool ReadUnits(std::string_view block, std::size_t count, std::vector<UnitRecord>& units) {
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
    std::optional<UnitRecord> unit = ReadUnitRecord(record, ids[i]);
    if (!unit) return false;
    units.push_back(std::move(*unit));
  }
  return records.AtEnd() && UnitsConsistent(units);
}

void WriteUnitRecord(Writer& w, const UnitRecord& u) {
  w.Int(static_cast<uint32_t>(u.kind));
  w.Zeros(kReservedHeadSize);
  w.CText(u.name);
  w.CText(u.remark);
  w.Zeros(4);
  w.Int(u.left);
  w.Int(u.top);
  w.Int(u.width);
  w.Int(u.height);
  w.Zeros(4);
  w.Int(u.parent);
  w.Int(static_cast<int32_t>(u.children.size()));
  for (uint32_t child : u.children) w.Int(child);
  w.Counted(u.mousePointer);
  w.CText(u.tag);
  w.Zeros(4);
  w.Int(u.flags);
  w.Zeros(4);
  w.Int(static_cast<int32_t>(u.events.size()));
  for (const EventBinding& e : u.events) {
    w.Int(e.event);
    w.Int(e.handlerOffset);
  }
  w.Zeros(kReservedHeadSize);
  w.Int(u.propertyVersion);
  std::visit([&w](const auto& p) { WriteProperties(w, p); }, u.properties);
}

std::string UnitsBlock(const std::vector<UnitRecord>& units) {
  Writer records;
  std::vector<uint32_t> offsets;
  for (const UnitRecord& u : units) {
    offsets.push_back(static_cast<uint32_t>(records.bytes().size()));
    Writer record;
    WriteUnitRecord(record, u);
    records.Counted(record.bytes());
  }
  Writer block;
  for (const UnitRecord& u : units) block.Int(u.id);
  for (uint32_t offset : offsets) block.Int(offset);
  block.bytes() += records.bytes();
  return std::move(block.bytes());
}

}  // namespace

std::optional<FormDescription> ParseFormDescription(std::string_view bytes) {
  Reader r(bytes);
  const int32_t table_size = r.I32();
  if (!r.ok() || table_size <= 0 || table_size % 8 != 0) return std::nullopt;
  Reader table(r.Take(static_cast<std::size_t>(table_size)));
  if (!r.ok()) return std::nullopt;

  FormDescription form;
  form.windows.resize(static_cast<std::size_t>(table_size) / 8);
  for (WindowEntry& window : form.windows) window.id = table.U32();
  for (WindowEntry& window : form.windows) {
    window.reservedValue1 = r.I32();
    window.reservedValue2 = r.I32();
    window.reservedText1 = r.Counted();
    window.reservedText2 = r.Counted();
    const int32_t unit_count = r.I32();
    std::string_view units = r.Counted();
    if (!r.ok() || unit_count <= 0 ||
        !ReadUnits(units, static_cast<std::size_t>(unit_count), window.units)) {
      return std::nullopt;
    }
  }
  if (!r.AtEnd()) return std::nullopt;
  return form;
}

std::string SerializeFormDescription(const FormDescription& form) {
  Writer w;
  w.Int(static_cast<int32_t>(form.windows.size() * 8));
  for (const WindowEntry& window : form.windows) w.Int(window.id);
  w.Zeros(form.windows.size() * 4);  // the loaded window objects, at run time
  for (const WindowEntry& window : form.windows) {
    w.Int(window.reservedValue1);
    w.Int(window.reservedValue2);
    w.Counted(window.reservedText1);
    w.Counted(window.reservedText2);
    w.Int(static_cast<int32_t>(window.units.size()));
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
    r.Skip(4);  // colour count, reserved, planes
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

}  // namespace tobrine::app
