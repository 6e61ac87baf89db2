// The in-process automation host of the Linux build: reference-counted objects
// whose members are found by name, and the value type that crosses member calls.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tobrine::posix {

class HostObject;

// One automation value (the host's VARIANT). Holds a reference of its own to an
// object it carries.
struct HostValue {
  enum class Type { kEmpty, kBoolean, kInt32, kDouble, kText, kObject, kMissing };
  Type type = Type::kEmpty;
  bool boolean = false;
  int32_t int32 = 0;
  double number = 0;
  std::u16string text;
  HostObject* object = nullptr;

  HostValue() = default;
  HostValue(const HostValue& other);
  HostValue& operator=(const HostValue& other);
  HostValue(HostValue&& other) noexcept;
  HostValue& operator=(HostValue&& other) noexcept;
  ~HostValue();

  static HostValue Boolean(bool v);
  static HostValue Int32(int32_t v);
  static HostValue Double(double v);
  static HostValue Text(std::u16string v);
  // Takes over the caller's reference.
  static HostValue Object(HostObject* v);
  // An optional argument left out before a given one.
  static HostValue Missing();
};

// Conversions as VariantChangeType makes them (an object converts through its
// default member). Each returns false when the value does not convert.
bool ToText(const HostValue& v, std::u16string& out);
bool ToNumber(const HostValue& v, double& out);
bool ToBoolean(const HostValue& v, bool& out);
bool ToInt32(const HostValue& v, int32_t& out);

// The member table entry of a component.
struct HostMember {
  std::u16string_view name;
  bool get = false;        // a property that can be read
  bool put = false;        // a property that can be written
  bool method = false;     // a method
  int params = 0;          // declared parameters (for a put: besides the value)
  bool isDefault = false;  // the value of the object itself
};

class HostObject {
 public:
  virtual ~HostObject() = default;
  void AddRef() { ++refs_; }
  void Release() {
    if (--refs_ == 0) delete this;
  }
  virtual std::span<const HostMember> Members() const = 0;
  // Runs member `index` (of Members()) for a get, a put (value last in `args`) or
  // a call. Returns 0 or an automation error code (-9 ... -18).
  virtual int32_t Invoke(int index, bool put, std::vector<HostValue>& args, HostValue& result) = 0;

 private:
  int refs_ = 1;
};

// The components the host can create: "VBScript.RegExp" only.
HostObject* CreateRegExpComponent();

}  // namespace tobrine::posix
