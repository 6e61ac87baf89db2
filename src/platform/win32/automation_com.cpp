// The automation layer's platform part on Windows: COM automation through
// IDispatch, with names bound through the object's type information.
#include <ole2.h>
#include <oleauto.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "text/automation.h"

namespace tobrine::text::detail {
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

BSTR ToBstr(std::string_view text) {
  std::u16string wide = Widen(text);
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()),
                           static_cast<UINT>(wide.size()));
}

TextValue FromBstr(BSTR s) {
  if (!s) return TextValue();
  return Narrow(std::u16string_view(reinterpret_cast<const char16_t*>(s), SysStringLen(s)));
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

// The value of an argument as the caller gave it; false for a kind without an
// automation form.
bool Build(const AutomationArg& a, VARIANT& v) {
  switch (a.kind) {
    case AutomationArg::Kind::kAbsent:
      V_VT(&v) = VT_ERROR;
      V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
      return true;
    case AutomationArg::Kind::kText:
      V_VT(&v) = VT_BSTR;
      V_BSTR(&v) = ToBstr(a.text);
      return true;
    case AutomationArg::Kind::kBoolean:
      V_VT(&v) = VT_BOOL;
      V_BOOL(&v) = a.boolean ? VARIANT_TRUE : VARIANT_FALSE;
      return true;
    case AutomationArg::Kind::kInt32:
      V_VT(&v) = VT_I4;
      V_I4(&v) = a.int32;
      return true;
    case AutomationArg::Kind::kDouble:
      V_VT(&v) = VT_R8;
      V_R8(&v) = a.number;
      return true;
    case AutomationArg::Kind::kOther:
      return false;
  }
  return false;
}

// Writes an output parameter's value back into the caller's variable.
void CopyBack(const AutomationArg& a, VARIANT& temp) {
  const VARTYPE target = a.kind == AutomationArg::Kind::kText      ? VT_BSTR
                         : a.kind == AutomationArg::Kind::kBoolean ? VT_BOOL
                         : a.kind == AutomationArg::Kind::kInt32   ? VT_I4
                                                                   : VT_R8;
  ScopedVariant converted;
  if (FAILED(VariantChangeType(&converted.v, &temp, 0, target))) return;
  switch (a.kind) {
    case AutomationArg::Kind::kText:
      *static_cast<TextValue*>(a.variable) = FromBstr(V_BSTR(&converted.v));
      break;
    case AutomationArg::Kind::kBoolean:
      *static_cast<bool*>(a.variable) = V_BOOL(&converted.v) != VARIANT_FALSE;
      break;
    case AutomationArg::Kind::kInt32:
      *static_cast<int32_t*>(a.variable) = V_I4(&converted.v);
      break;
    case AutomationArg::Kind::kDouble:
      *static_cast<double*>(a.variable) = V_R8(&converted.v);
      break;
    default:
      break;
  }
}

int32_t ConvertResult(VARIANT& value, ResultType type, InvokeResult& result) {
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
      if (object) object->AddRef();
      result.object = ComObject::Adopt(object);
      return 0;
    }
    case ResultType::kVariant: {
      auto* copy = new VARIANT;
      VariantInit(copy);
      if (FAILED(VariantCopy(copy, &value))) {
        delete copy;
        return kAutomationBadResult;
      }
      result.variant = Variant::Adopt(copy);
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

}  // namespace

bool PlatformCreate(const std::u16string& identifier, void** object) {
  auto* id = reinterpret_cast<LPOLESTR>(const_cast<char16_t*>(identifier.c_str()));
  CLSID clsid;
  const HRESULT found = !identifier.empty() && identifier[0] == u'{' ? CLSIDFromString(id, &clsid)
                                                                     : CLSIDFromProgID(id, &clsid);
  if (FAILED(found)) return false;
  IUnknown* unknown = nullptr;
  HRESULT hr =
      CoCreateInstance(clsid, nullptr, 0x17, IID_IUnknown, reinterpret_cast<void**>(&unknown));
  if (hr == E_INVALIDARG) {
    hr = CoCreateInstance(clsid, nullptr, 7, IID_IUnknown, reinterpret_cast<void**>(&unknown));
  }
  if (FAILED(hr) || !unknown) return false;
  if (FAILED(OleRun(unknown))) {
    unknown->Release();
    return false;
  }
  *object = unknown;
  return true;
}

void PlatformAddRef(void* object) {
  static_cast<IUnknown*>(object)->AddRef();
}
void PlatformRelease(void* object) {
  static_cast<IUnknown*>(object)->Release();
}

void PlatformFreeVariant(void* value) {
  auto* v = static_cast<VARIANT*>(value);
  VariantClear(v);
  delete v;
}

bool PlatformVariantIsEmpty(const void* value) {
  return V_VT(static_cast<const VARIANT*>(value)) == VT_EMPTY;
}

TextValue PlatformVariantToText(const void* value) {
  ScopedVariant copy;
  if (FAILED(VariantCopyInd(&copy.v, const_cast<VARIANT*>(static_cast<const VARIANT*>(value))))) {
    return TextValue();
  }
  if (FAILED(VariantChangeType(&copy.v, &copy.v, 0, VT_BSTR))) return TextValue();
  return FromBstr(V_BSTR(&copy.v));
}

int32_t PlatformInvoke(void* object, const std::u16string& name, AccessKind kind,
                       AutomationArgs args, ResultType type, InvokeResult& result) {
  ComPtr<IDispatch> dispatch;
  if (FAILED(static_cast<IUnknown*>(object)->QueryInterface(IID_IDispatch, dispatch.outVoid())) ||
      !dispatch) {
    return kAutomationNoDispatch;
  }
  const LCID locale = GetUserDefaultLCID();
  const bool put = kind == AccessKind::kPropertyPut;
  std::u16string nameCopy = name;
  auto* oleName = reinterpret_cast<LPOLESTR>(nameCopy.data());
  MEMBERID member = 0;
  WORD flags = 0;
  std::size_t declared = 0;
  bool varArgs = false;
  const FUNCDESC* func = nullptr;
  BoundMember bound;

  ComPtr<ITypeInfo> info;
  ComPtr<ITypeComp> comp;
  const HRESULT typeInfo = dispatch->GetTypeInfo(0, locale, info.out());
  if (typeInfo == E_NOTIMPL) {
    // Some component builds (Wine's collections) announce type information but
    // do not implement it: bind by name through IDispatch alone, with the
    // dispatch flags of the access kind and no declared parameter list.
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(dispatch->GetIDsOfNames(IID_NULL, &oleName, 1, locale, &id))) {
      return kAutomationNoMember;
    }
    member = id;
    flags = kind == AccessKind::kPropertyGet  ? DISPATCH_PROPERTYGET | DISPATCH_METHOD
            : kind == AccessKind::kMethodCall ? DISPATCH_METHOD | DISPATCH_PROPERTYGET
                                              : DISPATCH_PROPERTYPUT;
    varArgs = true;
  } else {
    if (FAILED(typeInfo) || !info || FAILED(info->GetTypeComp(comp.out())) || !comp) {
      return kAutomationNoTypeInfo;
    }
    // Bind the name, one invoke kind after another.
#ifdef _WIN64
    const SYSKIND system = SYS_WIN64;  // the system kind of this build
#else
    const SYSKIND system = SYS_WIN32;
#endif
    const ULONG hash = LHashValOfNameSys(system, locale, oleName);
    for (INVOKEKIND k : BindOrder(kind)) {
      bound.Reset();
      HRESULT hr = comp->Bind(oleName, hash, static_cast<WORD>(k), bound.info.out(), &bound.kind,
                              &bound.bind);
      if (SUCCEEDED(hr) && bound.kind != DESCKIND_NONE) break;
    }
    if (bound.kind != DESCKIND_FUNCDESC && bound.kind != DESCKIND_VARDESC) {
      return kAutomationNoMember;
    }
    // Member id, dispatch flags and declared parameters.
    if (bound.kind == DESCKIND_FUNCDESC) {
      func = bound.bind.lpfuncdesc;
      member = func->memid;
      flags = static_cast<WORD>(func->invkind);
      declared = static_cast<std::size_t>(func->cParams);
      varArgs = func->cParamsOpt == -1;
    } else {
      const VARDESC* var = bound.bind.lpvardesc;
      member = var->memid;
      flags = !put                                         ? DISPATCH_PROPERTYGET
              : IsObjectOrArray(var->elemdescVar.tdesc.vt) ? DISPATCH_PROPERTYPUTREF
                                                           : DISPATCH_PROPERTYPUT;
      declared = put ? 1 : 0;
    }
  }

  std::size_t count = args.size();
  while (count > 0 && args[count - 1].absent()) --count;
  if (count > declared && !varArgs) return kAutomationTooManyArgs;

  // Arguments, last first. By-reference parameters get a temporary of the
  // declared type.
  struct Slots {
    std::vector<VARIANT> built, temps, passed;
    explicit Slots(std::size_t n) : built(n), temps(n), passed(n) {
      for (std::size_t i = 0; i < n; ++i) {
        VariantInit(&built[i]);
        VariantInit(&temps[i]);
        VariantInit(&passed[i]);
      }
    }
    ~Slots() {
      for (std::size_t i = 0; i < built.size(); ++i) {
        VariantClear(&built[i]);
        VariantClear(&temps[i]);
      }
    }
  } slots(count);
  std::vector<bool> output(count, false);
  for (std::size_t i = 0; i < count; ++i) {
    VARIANT& built = slots.built[i];
    if (!Build(args[i], built)) return kAutomationBadArgKind;
    VARIANT& passed = slots.passed[count - 1 - i];
    passed = built;  // a shallow view: `built` keeps ownership
    if (!func || i >= static_cast<std::size_t>(func->cParams) || args[i].absent()) continue;
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
    output[i] = args[i].byReference() && (param.paramdesc.wParamFlags & PARAMFLAG_FOUT) != 0;
  }

  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params{};
  params.rgvarg = count ? slots.passed.data() : nullptr;
  params.cArgs = static_cast<UINT>(count);
  if (put) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  ScopedVariant value;
  const HRESULT hr = dispatch->Invoke(member, IID_NULL, locale, flags, &params,
                                      put ? nullptr : &value.v, nullptr, nullptr);
  if (FAILED(hr)) return InvokeFailure(hr);
  for (std::size_t i = 0; i < count; ++i) {
    if (!output[i]) continue;
    CopyBack(args[i], V_VT(&slots.temps[i]) != VT_EMPTY ? slots.temps[i] : slots.built[i]);
  }
  return ConvertResult(value.v, type, result);
}

}  // namespace tobrine::text::detail
