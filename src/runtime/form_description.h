// A form description: the stored description of a program's windows and
// controls, the parsed structure, the defensive reader and the writer that
// tools/formgen uses. The program's own form and its identifiers are app's.
//
// Stored layout (integers 32-bit little-endian, texts code page 936; a counted
// text or block is an int32 byte length and that many bytes, no NUL):
//
//   window table   int32 size = 8 * n, n window identifiers, n zero slots
//   per window     int32, int32, counted text, counted text (reserved),
//                  int32 unit count, counted block of units:
//                    unit identifiers, record offsets (from the records area),
//                    records area: per unit int32 record size + UnitRecord
//   UnitRecord     kind, 20 zero bytes, name\0, remark\0, zero slot,
//                  left, top, width, height, zero slot, parent, child count +
//                  children, mouse-pointer block, tag\0, zero, flags, zero,
//                  event count + (event, handler offset) pairs,
//                  20 zero bytes, property version, the kind's properties
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "runtime/fatal.h"

namespace tobrine {

enum class UnitKind : uint32_t {
  kWindow = 0x00010001,
  kEditBox = 0x00010005,
  kLabel = 0x0001000A,
  kButton = 0x0001000B,
  kReportList = 0x00020004,
};

// The unit identifier of a window's own unit (unit 0 of its entry).
inline constexpr uint32_t kWindowUnitId = 0x06010000;

// UnitRecord::flags bits.
inline constexpr uint32_t kUnitVisible = 1u << 0;
inline constexpr uint32_t kUnitDisabled = 1u << 1;  // created disabled
inline constexpr uint32_t kUnitTabStop = 1u << 2;

// The property-block version each kind stores; any other version is refused.
inline constexpr uint32_t kWindowPropertyVersion = 6;
inline constexpr uint32_t kEditBoxPropertyVersion = 2;
inline constexpr uint32_t kButtonPropertyVersion = 1;
inline constexpr uint32_t kLabelPropertyVersion = 2;
inline constexpr uint32_t kReportListPropertyVersion = 1;

// A handler offset that binds nothing.
inline constexpr int32_t kNoHandler = -1;

// Event `event` (0 onwards: the kind's own events; -1 ... -12: common events) is
// handled by entry `handlerOffset` of the program's handler table; kNoHandler
// binds nothing.
struct EventBinding {
  int32_t event = 0;
  int32_t handlerOffset = -1;
  bool operator==(const EventBinding&) const = default;
};

// Texts are code page 936 bytes; blocks are raw bytes. Values whose meaning is
// not ours to settle keep their stored value under an "unnamed" field.
struct WindowProperties {
  int32_t borderMode = 0;  // 0 none, 1 resizable, 2 fixed single, 3/4 narrow caption
                           // resizable/fixed, 5/6 sunken edge resizable/fixed
  int32_t unnamed1 = 0;
  uint32_t backgroundColour = 0;  // 0xFF000000 = system button face
  int32_t maximizeButton = 0;
  int32_t minimizeButton = 0;
  int32_t controlBox = 0;
  int32_t positionMode = 0;  // 0 as stored, 1 centred, 2 minimised, 3 maximised
  int32_t movable = 0;
  std::array<int32_t, 5> unnamed2{};
  int32_t unnamed3 = 0;
  std::array<int32_t, 2> unnamed4{};
  int32_t alwaysOnTop = 0;
  int32_t unnamed5 = 0;
  std::string className;          // empty: the runtime's default class
  std::string backgroundPicture;  // block
  std::string icon;               // block: an icon file, all its images
  std::string unnamedBlock;       // block
  std::string title;
  std::string unnamedText;
  bool operator==(const WindowProperties&) const = default;
};

struct EditBoxProperties {
  int32_t borderMode = 0;  // 1 = sunken client edge
  uint32_t textColour = 0;
  uint32_t backgroundColour = 0;
  int32_t hideSelection = 0;  // hide the selection while unfocused
  int32_t maxLength = 0;      // 0 = no limit
  int32_t multiLine = 0;
  int32_t scrollBars = 0;  // multi-line only
  int32_t alignment = 0;   // 0 left, 1 centre, 2 right
  int32_t inputMode = 0;   // 0 normal, 1 read-only, 2 password
  uint16_t passwordChar = 0;
  int32_t caseConversion = 0;  // 0 none, 1 lower, 2 upper
  int32_t spinBox = 0;
  int32_t spinMinimum = 0;
  int32_t spinMaximum = 0;
  int32_t selectionStart = 0;
  int32_t selectionLength = 0;
  std::string font;  // block, empty = default font
  std::string content;
  std::string unnamedText1;
  std::string unnamedText2;
  bool operator==(const EditBoxProperties&) const = default;
};

struct ButtonProperties {
  int32_t buttonType = 0;           // 0 ordinary, 1 default button
  int32_t horizontalAlignment = 0;  // 0 left, 1 centre, 2 right
  int32_t verticalAlignment = 0;    // 0 top, 1 centre, 2 bottom
  std::string picture;              // block
  std::string font;                 // block
  std::string caption;
  bool operator==(const ButtonProperties&) const = default;
};

struct LabelProperties {
  std::array<uint32_t, 16> appearance{};  // border, colours, effects: the label defaults
  std::string picture;                    // block
  std::string font;                       // block
  std::string text;
  std::string unnamedText1;
  std::string unnamedText2;
  bool operator==(const LabelProperties&) const = default;
};

// One list column; stored as 1 byte flag, int32 image, int32 alignment, int32 width, title\0.
struct ColumnDefinition {
  uint8_t bitmapOnRight = 0;
  int32_t image = -1;     // -1 = none
  int32_t alignment = 0;  // 0 left, 1 centre, 2 right
  int32_t width = 0;
  std::string title;
  bool operator==(const ColumnDefinition&) const = default;
};

struct ReportListProperties {
  int32_t borderMode = 0;  // 1 = sunken client edge
  uint32_t textColour = 0;
  uint32_t textBackgroundColour = 0;
  uint32_t backgroundColour = 0;
  int32_t view = 0;           // 0 icons, 1 small icons, 2 list, 3 report
  int32_t iconAlignment = 0;  // icon views only
  int32_t autoArrange = 0;    // icon views only
  int32_t labelWrap = 0;      // icon views only
  int32_t hideColumnHeaders = 0;
  int32_t headersClickable = 0;
  int32_t fullRowSelect = 0;
  int32_t gridLines = 0;
  int32_t headerDragDrop = 0;
  int32_t hotTracking = 0;
  std::array<int32_t, 3> unnamed1{};
  int32_t labelEditing = 0;
  int32_t sortOrder = 0;  // 0 none, 1 ascending, 2 descending
  int32_t checkBoxes = 0;
  int32_t flatScrollBars = 0;
  int32_t singleSelection = 0;
  int32_t unnamed2 = 0;
  int32_t alwaysShowSelection = 0;
  std::string font;                       // block
  std::string headerImages;               // block
  std::string itemImages;                 // block
  std::vector<ColumnDefinition> columns;  // stored as one block
  std::string stateImages;                // block
  std::string initialRows;                // block
  bool operator==(const ReportListProperties&) const = default;
};

// The variant's alternative always matches UnitRecord::kind in a parsed description.
using UnitProperties = std::variant<WindowProperties, EditBoxProperties, ButtonProperties,
                                    LabelProperties, ReportListProperties>;

struct UnitRecord {
  uint32_t id = 0;  // from the unit table; kWindowUnitId for the window itself
  UnitKind kind = UnitKind::kWindow;
  std::string name;  // "编辑框1" ...; empty for the window
  std::string remark;
  int32_t left = 0;
  int32_t top = 0;
  int32_t width = 0;
  int32_t height = 0;
  uint32_t parent = 0;  // 0 = the window itself
  std::vector<uint32_t> children;
  std::string mousePointer;  // block; 4 zero bytes = the default pointer
  std::string tag;
  uint32_t flags = 0;  // kUnitVisible | kUnitDisabled | kUnitTabStop
  std::vector<EventBinding> events;
  uint32_t propertyVersion = 0;
  UnitProperties properties;
  bool operator==(const UnitRecord&) const = default;
};

struct WindowEntry {
  uint32_t id = 0;  // kMainFormId
  int32_t reservedValue1 = 0;
  int32_t reservedValue2 = 0;
  std::string reservedText1;
  std::string reservedText2;
  std::vector<UnitRecord> units;  // units[0] is the window itself
  bool operator==(const WindowEntry&) const = default;
};

struct FormDescription {
  std::vector<WindowEntry> windows;
  bool operator==(const FormDescription&) const = default;
};

// Reads a stored description whose handler offsets index a table of
// `handlerCount` handlers. nullopt on any truncation or inconsistency: sizes,
// counts, offsets, missing NULs, negative lengths, record sizes that disagree
// with their contents, unknown kinds, property versions other than the kind's, a
// window entry whose unit 0 is not a window, handler offsets outside the handler
// table, trailing bytes. Never reads outside `bytes`.
std::optional<FormDescription> ParseFormDescription(std::string_view bytes, int32_t handlerCount);

// Writes the stored layout; ParseFormDescription(SerializeFormDescription(f), n) == f
// for every description the parser accepts. Reserved bytes and slots are written as zero.
std::string SerializeFormDescription(const FormDescription& form);

// Parses `bytes`; on failure reports "载入窗口模板数据段出错!" with code 0 through
// ReportRuntimeMessage, which ends the process. (Inline: formgen reads without
// the reporter.)
inline FormDescription ParseFormDescriptionOrReport(std::string_view bytes, int32_t handlerCount) {
  std::optional<FormDescription> form = ParseFormDescription(bytes, handlerCount);
  if (!form) ReportRuntimeMessage("载入窗口模板数据段出错!", 0);
  return std::move(*form);
}

// The unit `id` of `window`, or nullptr.
const UnitRecord* FindUnit(const WindowEntry& window, uint32_t id);

// One image of an icon file (the window's icon block): its directory entry and
// its bytes (BITMAPINFOHEADER, palette, XOR bits, AND mask), a view into the file.
struct IconImage {
  int width = 0;  // 256 when the entry stores 0
  int height = 0;
  int bitCount = 0;
  std::string_view bits;
};

// The images of an icon file in directory order; empty when the file is not a
// well-formed icon (bad header, entries or image ranges outside the file).
std::vector<IconImage> IconFileImages(std::string_view icon);

}  // namespace tobrine
