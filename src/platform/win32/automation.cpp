// Automation on Windows: COM automation through IDispatch, with names bound
// through the object's type information.
#include "platform/automation.h"

#include <ole2.h>
#include <oleauto.h>
#include <windows.h>

#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tobrine::platform {
namespace {

// An owned interface pointer, released on every path.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ~ComPtr() {
    if (p_) p_->Release();
  }
  T** out() { return &p_; }
  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Hands the reference on.
  T* release() { return std::exchange(p_, nullptr); }
  void** outVoid() { return reinterpret_cast<void**>(&p_); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// A VARIANT cleared when it goes.
struct ScopedVariant {
  VARIANT v;
  ScopedVariant() { VariantInit(&v); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  ~ScopedVariant() { VariantClear(&v); }
};

// A bound name's description, handed back to its type information when it goes.
struct BoundMember {
  ComPtr<ITypeInfo> info;
  DESCKIND kind = DESCKIND_NONE;
  BINDPTR bind{};
  BoundMember() = default;
  BoundMember(const BoundMember&) = delete;
  BoundMember& operator=(const BoundMember&) = delete;
  ~BoundMember() { Reset(); }
  void Reset() {
    switch (std::exchange(kind, DESCKIND_NONE)) {
      case DESCKIND_FUNCDESC:
        info->ReleaseFuncDesc(bind.lpfuncdesc);
        break;
      case DESCKIND_VARDESC:
      case DESCKIND_IMPLICITAPPOBJ:
        info->ReleaseVarDesc(bind.lpvardesc);
        break;
      case DESCKIND_TYPECOMP:
        bind.lptcomp->Release();
        break;
      default:
        break;
    }
    info.reset();
  }
};

BSTR ToBstr(const std::u16string& text) {
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                           static_cast<UINT>(text.size()));
}

std::u16string FromBstr(BSTR s) {
  if (!s) return std::u16string();
  return std::u16string(reinterpret_cast<const char16_t*>(s), SysStringLen(s));
}

int32_t InvokeFailure(HRESULT hr) {
  switch (hr) {
    case DISP_E_BADPARAMCOUNT:
      return kAutomationBadParamCount;
    case DISP_E_BADVARTYPE:
      return kAutomationBadVarType;
    case DISP_E_EXCEPTION:
      return kAutomationException;
    case DISP_E_MEMBERNOTFOUND:
      return kAutomationMemberNotFound;
    case DISP_E_NONAMEDARGS:
      return kAutomationNoNamedArgs;
    case DISP_E_OVERFLOW:
      return kAutomationOverflow;
    case DISP_E_PARAMNOTFOUND:
      return kAutomationParamNotFound;
    case DISP_E_TYPEMISMATCH:
      return kAutomationTypeMismatch;
    case DISP_E_PARAMNOTOPTIONAL:
      return kAutomationParamNotOptional;
    default:
      return kAutomationInvokeFailed;
  }
}

using Kind = AutomationValue::Kind;

// The value of an argument as the caller gave it; false for a kind without an
// automation form.
bool Build(const AutomationValue& a, VARIANT& v) {
  switch (a.kind) {
    case Kind::kAbsent:
      V_VT(&v) = VT_ERROR;
      V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
      return true;
    case Kind::kText:
      V_VT(&v) = VT_BSTR;
      V_BSTR(&v) = ToBstr(a.text);
      return true;
    case Kind::kBoolean:
      V_VT(&v) = VT_BOOL;
      V_BOOL(&v) = a.boolean ? VARIANT_TRUE : VARIANT_FALSE;
      return true;
    case Kind::kInt32:
      V_VT(&v) = VT_I4;
      V_I4(&v) = a.int32;
      return true;
    case Kind::kDouble:
      V_VT(&v) = VT_R8;
      V_R8(&v) = a.number;
      return true;
    case Kind::kOther:
      return false;
  }
  return false;
}

// Writes an output parameter's value back into the argument's own field.
void CopyBack(VARIANT& temp, AutomationValue& a) {
  const VARTYPE target = a.kind == Kind::kText      ? VT_BSTR
                         : a.kind == Kind::kBoolean ? VT_BOOL
                         : a.kind == Kind::kInt32   ? VT_I4
                                                    : VT_R8;
  ScopedVariant converted;
  if (FAILED(VariantChangeType(&converted.v, &temp, 0, target))) return;
  switch (a.kind) {
    case Kind::kText:
      a.text = FromBstr(V_BSTR(&converted.v));
      break;
    case Kind::kBoolean:
      a.boolean = V_BOOL(&converted.v) != VARIANT_FALSE;
      break;
    case Kind::kInt32:
      a.int32 = V_I4(&converted.v);
      break;
    case Kind::kDouble:
      a.number = V_R8(&converted.v);
      break;
    default:
      return;
  }
  a.written = true;
}

int32_t ConvertResult(VARIANT& value, ResultType type, AutomationResult& result) {
  ScopedVariant converted;
  switch (type) {
    case ResultType::kNone:
      return 0;
    case ResultType::kText:
      if (FAILED(VariantChangeType(&converted.v, &value, 0, VT_BSTR))) return kAutomationBadResult;
      result.text = FromBstr(V_BSTR(&converted.v));
      return 0;
    case ResultType::kNumber:
      if (FAILED(VariantChangeType(&converted.v, &value, 0, VT_R8))) return kAutomationBadResult;
      result.number = V_R8(&converted.v);
      return 0;
    case ResultType::kBoolean:
      if (FAILED(VariantChangeType(&converted.v, &value, 0, VT_BOOL))) return kAutomationBadResult;
      result.boolean = V_BOOL(&converted.v) != VARIANT_FALSE;
      return 0;
    case ResultType::kObject: {
      if (V_VT(&value) != VT_DISPATCH && V_VT(&value) != VT_UNKNOWN &&
          FAILED(VariantChangeType(&converted.v, &value, 0, VT_DISPATCH))) {
        return kAutomationBadResult;
      }
      VARIANT& from = V_VT(&converted.v) == VT_EMPTY ? value : converted.v;
      IUnknown* object = V_VT(&from) == VT_UNKNOWN ? V_UNKNOWN(&from) : V_DISPATCH(&from);
      if (object) object->AddRef();  // the caller's reference
      result.object = object;
      return 0;
    }
    case ResultType::kVariant: {
      auto copy = std::make_unique<ScopedVariant>();
      if (FAILED(VariantCopy(&copy->v, &value))) return kAutomationBadResult;
      result.variant = copy.release();  // freed by FreeAutomationValue
      return 0;
    }
  }
  return kAutomationBadResult;
}

// The invoke kinds tried for each access kind, in order.
std::vector<INVOKEKIND> BindOrder(AccessKind kind) {
  switch (kind) {
    case AccessKind::kPropertyGet:
      return {INVOKE_PROPERTYGET, INVOKE_FUNC};
    case AccessKind::kPropertyPut:
      return {INVOKE_PROPERTYPUT, INVOKE_PROPERTYPUTREF, INVOKE_FUNC};
    case AccessKind::kMethodCall:
      return {INVOKE_FUNC, INVOKE_PROPERTYGET, INVOKE_PROPERTYPUT, INVOKE_PROPERTYPUTREF};
  }
  return {};
}

bool IsObjectOrArray(VARTYPE vt) {
  return vt == VT_DISPATCH || vt == VT_UNKNOWN || vt == VT_SAFEARRAY || (vt & VT_ARRAY) != 0;
}

// A member bound for one access: its id, the dispatch flags, its declared
// parameters (the function's description when it has one).
struct Binding {
  MEMBERID member = 0;
  WORD flags = 0;
  std::size_t declared = 0;
  bool varArgs = false;
  const FUNCDESC* func = nullptr;
  BoundMember bound;
};

// Some component builds (Wine's collections) announce type information but do
// not implement it: bind by name through IDispatch alone, with the dispatch
// flags of the access kind and no declared parameter list.
int32_t BindByName(IDispatch* dispatch, LPOLESTR name, AccessKind kind, LCID locale, Binding& b) {
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(dispatch->GetIDsOfNames(IID_NULL, &name, 1, locale, &id))) return kAutomationNoMember;
  b.member = id;
  b.flags = kind == AccessKind::kPropertyGet  ? DISPATCH_PROPERTYGET | DISPATCH_METHOD
            : kind == AccessKind::kMethodCall ? DISPATCH_METHOD | DISPATCH_PROPERTYGET
                                              : DISPATCH_PROPERTYPUT;
  b.varArgs = true;
  return 0;
}

// Binds the name through the type information, one invoke kind after another.
int32_t BindByType(ITypeInfo* info, LPOLESTR name, AccessKind kind, LCID locale, Binding& b) {
  ComPtr<ITypeComp> comp;
  if (!info || FAILED(info->GetTypeComp(comp.out())) || !comp) return kAutomationNoTypeInfo;
#ifdef _WIN64
  const SYSKIND system = SYS_WIN64;  // the system kind of this build
#else
  const SYSKIND system = SYS_WIN32;
#endif
  const ULONG hash = LHashValOfNameSys(system, locale, name);
  BoundMember& bound = b.bound;
  for (INVOKEKIND k : BindOrder(kind)) {
    bound.Reset();
    HRESULT hr =
        comp->Bind(name, hash, static_cast<WORD>(k), bound.info.out(), &bound.kind, &bound.bind);
    if (SUCCEEDED(hr) && bound.kind != DESCKIND_NONE) break;
  }
  if (bound.kind == DESCKIND_FUNCDESC) {
    b.func = bound.bind.lpfuncdesc;
    b.member = b.func->memid;
    b.flags = static_cast<WORD>(b.func->invkind);
    b.declared = static_cast<std::size_t>(b.func->cParams);
    b.varArgs = b.func->cParamsOpt == -1;
    return 0;
  }
  if (bound.kind == DESCKIND_VARDESC) {
    const VARDESC* var = bound.bind.lpvardesc;
    const bool put = kind == AccessKind::kPropertyPut;
    b.member = var->memid;
    b.flags = !put                                         ? DISPATCH_PROPERTYGET
              : IsObjectOrArray(var->elemdescVar.tdesc.vt) ? DISPATCH_PROPERTYPUTREF
                                                           : DISPATCH_PROPERTYPUT;
    b.declared = put ? 1 : 0;
    return 0;
  }
  return kAutomationNoMember;
}

// The arguments as Invoke takes them: last first. By-reference parameters get a
// temporary of the declared type.
struct Arguments {
  std::vector<VARIANT> built, temps, passed;
  std::vector<bool> output;
  explicit Arguments(std::size_t n) : built(n), temps(n), passed(n), output(n, false) {
    for (std::size_t i = 0; i < n; ++i) {
      VariantInit(&built[i]);
      VariantInit(&temps[i]);
      VariantInit(&passed[i]);
    }
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;
  ~Arguments() {
    for (std::size_t i = 0; i < built.size(); ++i) {
      VariantClear(&built[i]);
      VariantClear(&temps[i]);
    }
  }
};

int32_t BuildArguments(std::span<const AutomationValue> args, const FUNCDESC* func,
                       Arguments& slots) {
  const std::size_t count = args.size();
  for (std::size_t i = 0; i < count; ++i) {
    VARIANT& built = slots.built[i];
    if (!Build(args[i], built)) return kAutomationBadArgKind;
    VARIANT& passed = slots.passed[count - 1 - i];
    passed = built;  // a shallow view: `built` keeps ownership
    if (!func || i >= static_cast<std::size_t>(func->cParams) || args[i].kind == Kind::kAbsent)
      continue;
    const ELEMDESC& param = func->lprgelemdescParam[i];
    if (param.tdesc.vt != VT_PTR || !param.tdesc.lptdesc)
      continue;  // by value: the component coerces
    const VARTYPE declaredType = param.tdesc.lptdesc->vt;
    if (declaredType == VT_VARIANT) {
      V_VT(&passed) = VT_VARIANT | VT_BYREF;
      V_VARIANTREF(&passed) = &built;
    } else {
      VARIANT& temp = slots.temps[i];
      if (FAILED(VariantChangeType(&temp, &built, 0, declaredType))) VariantCopy(&temp, &built);
      V_VT(&passed) = static_cast<VARTYPE>(V_VT(&temp) | VT_BYREF);
      V_BYREF(&passed) = &V_UI1(&temp);  // the value's storage inside the temporary
    }
    slots.output[i] = args[i].byReference && (param.paramdesc.wParamFlags & PARAMFLAG_FOUT) != 0;
  }
  return 0;
}

}  // namespace

bool CreateAutomationObject(const std::u16string& identifier, void** object) {
  auto* id = reinterpret_cast<LPOLESTR>(const_cast<char16_t*>(identifier.c_str()));
  CLSID clsid;
  const HRESULT found = !identifier.empty() && identifier[0] == u'{' ? CLSIDFromString(id, &clsid)
                                                                     : CLSIDFromProgID(id, &clsid);
  if (FAILED(found)) return false;
  ComPtr<IUnknown> unknown;
  HRESULT hr = CoCreateInstance(clsid, nullptr, 0x17, IID_IUnknown, unknown.outVoid());
  if (hr == E_INVALIDARG) hr = CoCreateInstance(clsid, nullptr, 7, IID_IUnknown, unknown.outVoid());
  if (FAILED(hr) || !unknown || FAILED(OleRun(unknown.get()))) return false;
  *object = unknown.release();
  return true;
}

void AddAutomationReference(void* object) {
  static_cast<IUnknown*>(object)->AddRef();
}
void ReleaseAutomationReference(void* object) {
  static_cast<IUnknown*>(object)->Release();
}

void FreeAutomationValue(void* value) {
  std::unique_ptr<ScopedVariant> owned(static_cast<ScopedVariant*>(value));
}

bool AutomationValueIsEmpty(const void* value) {
  return V_VT(&static_cast<const ScopedVariant*>(value)->v) == VT_EMPTY;
}

bool AutomationValueToText(const void* value, std::u16string& text) {
  ScopedVariant copy;
  auto* v = const_cast<VARIANT*>(&static_cast<const ScopedVariant*>(value)->v);
  if (FAILED(VariantCopyInd(&copy.v, v))) return false;
  if (FAILED(VariantChangeType(&copy.v, &copy.v, 0, VT_BSTR))) return false;
  text = FromBstr(V_BSTR(&copy.v));
  return true;
}

int32_t InvokeAutomationMember(void* object, const std::u16string& name, AccessKind kind,
                               std::span<AutomationValue> args, ResultType type,
                               AutomationResult& result) {
  ComPtr<IDispatch> dispatch;
  if (FAILED(static_cast<IUnknown*>(object)->QueryInterface(IID_IDispatch, dispatch.outVoid())) ||
      !dispatch) {
    return kAutomationNoDispatch;
  }
  const LCID locale = GetUserDefaultLCID();
  std::u16string nameCopy = name;
  auto* oleName = reinterpret_cast<LPOLESTR>(nameCopy.data());
  Binding b;
  ComPtr<ITypeInfo> info;
  const HRESULT typeInfo = dispatch->GetTypeInfo(0, locale, info.out());
  const int32_t bound = typeInfo == E_NOTIMPL ? BindByName(dispatch.get(), oleName, kind, locale, b)
                        : FAILED(typeInfo)    ? kAutomationNoTypeInfo
                                              : BindByType(info.get(), oleName, kind, locale, b);
  if (bound != 0) return bound;

  std::size_t count = args.size();
  while (count > 0 && args[count - 1].kind == Kind::kAbsent) --count;
  if (count > b.declared && !b.varArgs) return kAutomationTooManyArgs;
  Arguments slots(count);
  if (const int32_t built = BuildArguments(args.first(count), b.func, slots)) return built;

  const bool put = kind == AccessKind::kPropertyPut;
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params{};
  params.rgvarg = count ? slots.passed.data() : nullptr;
  params.cArgs = static_cast<UINT>(count);
  if (put) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  ScopedVariant value;
  const HRESULT hr = dispatch->Invoke(b.member, IID_NULL, locale, b.flags, &params,
                                      put ? nullptr : &value.v, nullptr, nullptr);
  if (FAILED(hr)) return InvokeFailure(hr);
  for (std::size_t i = 0; i < count; ++i) {
    if (slots.output[i])
      CopyBack(V_VT(&slots.temps[i]) != VT_EMPTY ? slots.temps[i] : slots.built[i], args[i]);
  }
  return ConvertResult(value.v, type, result);
}

}  // namespace tobrine::platform
