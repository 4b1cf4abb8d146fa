// A late-bound client of the registered server: creation by CLSID and ProgID through
// the COM runtime, the dispatch half through the type library, and the library itself.
#include <gtest/gtest.h>

#include <objsafe.h>
#include <ocidl.h>

#include "generated/installer_idl.h"
#include "shell/module_state.h"
#include "shell/installer.h"
#include "tests/shell/server_support.h"
#include "support/files.h"
#include "support/wine_support.h"
#include "shell/type_info_holder.h"

namespace corvane::testing {
namespace {

// A type by GUID; for the dual interface its virtual-table view, not its dispatch view.
ComPtr<ITypeInfo> typeOf(ITypeLib* library, REFGUID guid) {
  ComPtr<ITypeInfo> info;
  if (FAILED(library->GetTypeInfoOfGuid(guid, info.put()))) return nullptr;
  if (!IsEqualGUID(guid, IID_IInstaller)) return info;
  HREFTYPE reference = 0;
  ComPtr<ITypeInfo> table;
  if (FAILED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &reference)) ||
      FAILED(info->GetRefTypeInfo(reference, table.put()))) {
    return nullptr;
  }
  return table;
}

class AutomationClient : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(0u, testing::regsvr32(testing::serverDllPath())); }

  ComPtr<IDispatch> create() {
    ComPtr<IDispatch> object;
    EXPECT_EQ(S_OK, ::CoCreateInstance(CLSID_Installer, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                       object.putVoid()));
    return object;
  }
  DISPID idOf(IDispatch* object, const wchar_t* name) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    EXPECT_EQ(S_OK, object->GetIDsOfNames(IID_NULL, names, 1, 0, &id)) << testing::narrow(name);
    return id;
  }
  HRESULT put(IDispatch* object, DISPID id, const wchar_t* text) {
    VARIANT argument;
    ::VariantInit(&argument);
    argument.vt = VT_BSTR;
    argument.bstrVal = ::SysAllocString(text);
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&argument, &named, 1, 1};
    const HRESULT result = object->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
    ::VariantClear(&argument);
    return result;
  }
  std::wstring get(IDispatch* object, DISPID id) {
    VARIANT result;
    ::VariantInit(&result);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(S_OK, object->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
    EXPECT_EQ(VT_BSTR, result.vt);
    std::wstring text = result.vt == VT_BSTR && result.bstrVal ? result.bstrVal : L"<null>";
    ::VariantClear(&result);
    return text;
  }
};

TEST_F(AutomationClient, CreatesByClsidAndByProgId) {
  ComPtr<IDispatch> byClsid = create();
  ASSERT_TRUE(byClsid);
  for (const wchar_t* progId : {L"VARuDevavuzez.Installer", L"VARuDevavuzez.Installer.1"}) {
    CLSID classId{};
    ASSERT_EQ(S_OK, ::CLSIDFromProgID(progId, &classId)) << testing::narrow(progId);
    EXPECT_TRUE(IsEqualCLSID(CLSID_Installer, classId));
    ComPtr<IInstaller> object;
    ASSERT_EQ(S_OK, ::CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IInstaller, object.putVoid()));
    ComPtr<IProvideClassInfo> info;
    EXPECT_EQ(S_OK, object->QueryInterface(IID_IProvideClassInfo, info.putVoid()));
  }
  UniqueTaskMemory<wchar_t> progId;
  ASSERT_EQ(S_OK, ::ProgIDFromCLSID(CLSID_Installer, progId.put()));
  EXPECT_STREQ(L"VARuDevavuzez.Installer.1", progId.get());

  ComPtr<IUnknown> aggregate;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, ::CoCreateInstance(CLSID_Installer, byClsid.get(), CLSCTX_INPROC_SERVER,
                                                      IID_IUnknown, aggregate.putVoid()));
}

TEST_F(AutomationClient, NamesResolveFromTheCacheAndFallBackForOtherCase) {
  ComPtr<IDispatch> object = create();
  EXPECT_EQ(1, idOf(object.get(), L"BaseURL"));
  EXPECT_EQ(2, idOf(object.get(), L"AuthPath"));
  EXPECT_EQ(3, idOf(object.get(), L"InstallPath"));
  EXPECT_EQ(4, idOf(object.get(), L"UpdateComponents"));
  EXPECT_EQ(5, idOf(object.get(), L"InstallCertificate"));
  EXPECT_EQ(1, idOf(object.get(), L"baseurl")) << "other letter case goes to the type information";
  EXPECT_EQ(5, idOf(object.get(), L"INSTALLCERTIFICATE"));

  DISPID ids[2] = {};
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"UpdateComponents"), const_cast<LPOLESTR>(L"components")};
  EXPECT_EQ(S_OK, object->GetIDsOfNames(IID_NULL, names, 2, 0, ids)) << "a parameter name";
  EXPECT_EQ(4, ids[0]);
  EXPECT_EQ(0, ids[1]);
  LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"NoSuchMember")};
  EXPECT_EQ(DISP_E_UNKNOWNNAME, object->GetIDsOfNames(IID_NULL, unknown, 1, 0, ids));
}

// The cache answers by exact units: prove it with the in-process holder, whose type
// information can be swapped for one that would answer differently.
TEST_F(AutomationClient, CacheHitDoesNotReachTheTypeInformation) {
  TypeInfoHolder& holder = installerTypeInfo();
  ASSERT_EQ(S_OK, holder.ensureLoaded(0));
  // The dispatch view of the dual interface: IUnknown's 3, IDispatch's 4, then our 8.
  EXPECT_EQ(15u, holder.cachedNameCount());
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"AuthPath")};
  ASSERT_EQ(S_OK, holder.idsOfNames(names, 1, 0, &id));
  EXPECT_EQ(2, id);
  LPOLESTR prefix[] = {const_cast<LPOLESTR>(L"AuthPat")};
  EXPECT_EQ(DISP_E_UNKNOWNNAME, holder.idsOfNames(prefix, 1, 0, &id)) << "length must match too";
}

TEST_F(AutomationClient, InvokesEveryMember) {
  ComPtr<IDispatch> object = create();
  const struct {
    const wchar_t* name;
    DISPID id;
  } properties[] = {{L"BaseURL", 1}, {L"AuthPath", 2}, {L"InstallPath", 3}};
  VARIANT result;
  ::VariantInit(&result);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  for (const auto& property : properties) {
    ASSERT_EQ(S_OK, object->Invoke(property.id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
    EXPECT_EQ(VT_BSTR, result.vt);
    // Never set: the member gives a null string, which Wine's Invoke hands on as empty.
    EXPECT_EQ(0u, ::SysStringLen(result.bstrVal));
    ::VariantClear(&result);
    const std::wstring value = std::wstring(L"value of ") + property.name;
    ASSERT_EQ(S_OK, put(object.get(), property.id, value.c_str()));
    EXPECT_EQ(value, get(object.get(), property.id));
  }

  VARIANT argument;
  ::VariantInit(&argument);
  argument.vt = VT_BSTR;
  argument.bstrVal = ::SysAllocString(L"");
  DISPPARAMS one{&argument, nullptr, 1, 0};
  // Empty names, a scratch folder and an unreachable server (settings that may reach the
  // wire): the update runs, chooses nothing, and says 0.
  testing::ScratchDirectory scratch("corvane-client-test");
  ASSERT_EQ(S_OK, put(object.get(), 1, L"http://127.0.0.1:9/"));
  ASSERT_EQ(S_OK, put(object.get(), 2, L"/auth"));
  ASSERT_EQ(S_OK, put(object.get(), 3, (scratch.widePath() + L"\\").c_str()));
  ASSERT_EQ(S_OK, object->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &one, &result, nullptr, nullptr));
  // The library says VT_INT; Wine's ITypeInfo::Invoke hands an int retval back as VT_I4.
  EXPECT_TRUE(result.vt == VT_INT || result.vt == VT_I4) << result.vt;
  EXPECT_EQ(0, result.vt == VT_INT ? result.intVal : result.lVal);
  ::VariantClear(&result);

  // The certificate job absorbs its failures: success to the caller.
  EXPECT_EQ(S_OK, object->Invoke(5, IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr));

  ComPtr<IDispatch> fresh = create();
  {
    ScopedExceptionInfo exception;
    EXPECT_EQ(DISP_E_EXCEPTION, fresh->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &one, &result, exception.get(), nullptr));
    ASSERT_NE(nullptr, exception.value().bstrDescription);
    EXPECT_STREQ(L"CodebaseURL is not initialized", exception.value().bstrDescription);
    EXPECT_STREQ(L"VARuDevavuzez.Installer.1", exception.value().bstrSource);
  }
  {
    ScopedExceptionInfo exception;
    EXPECT_EQ(DISP_E_EXCEPTION, fresh->Invoke(5, IID_NULL, 0, DISPATCH_METHOD, &one, &result, exception.get(), nullptr));
    EXPECT_STREQ(L"BaseURL is not initialized", exception.value().bstrDescription);
  }
  ::VariantClear(&argument);
}

TEST_F(AutomationClient, TypeInfoIndexIsNotExamined) {
  ComPtr<IDispatch> object = create();
  ComPtr<ITypeInfo> first, fifth;
  ASSERT_EQ(S_OK, object->GetTypeInfo(0, 0, first.put()));
  ASSERT_EQ(S_OK, object->GetTypeInfo(5, 0x0409, fifth.put()));
  EXPECT_EQ(first.get(), fifth.get());
  TYPEATTR* attributes = nullptr;
  ASSERT_EQ(S_OK, first->GetTypeAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(IID_IInstaller, attributes->guid));
  first->ReleaseTypeAttr(attributes);

  ComPtr<IProvideClassInfo> provider;
  ASSERT_EQ(S_OK, object->QueryInterface(IID_IProvideClassInfo, provider.putVoid()));
  ComPtr<ITypeInfo> coclass;
  ASSERT_EQ(S_OK, provider->GetClassInfo(coclass.put()));
  ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(CLSID_Installer, attributes->guid));
  EXPECT_EQ(TKIND_COCLASS, attributes->typekind);
  coclass->ReleaseTypeAttr(attributes);
}

// With the library unregistered the dispatch half reports the load failure, and tries
// again on every call: it works once the library is back.
TEST_F(AutomationClient, UnregisteredLibraryFailsAndIsRetried) {
  ASSERT_EQ(S_OK, ::UnRegisterTypeLib(LIBID_VARUDEVAVUZEZLib, 1, 0, 0x0409, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32));
  ComPtr<IDispatch> object = create();
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  ::VariantInit(&result);
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, object->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, object->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, object->GetTypeInfo(0, 0, info.put()));
  EXPECT_FALSE(info);

  // The in-process holder: failing loads push one clean-up, not one per call.
  const size_t before = terminationListLength();
  ComPtr<IInstaller> local;
  ASSERT_EQ(S_OK, Installer::create(nullptr, IID_IInstaller, local.putVoid()));
  for (int attempt = 0; attempt < 5; ++attempt) {
    EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, local->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
  }
  EXPECT_EQ(before + 1, terminationListLength());

  ASSERT_EQ(0u, testing::regsvr32(testing::serverDllPath()));
  EXPECT_EQ(S_OK, object->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
  ::VariantClear(&result);
  EXPECT_EQ(S_OK, local->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
  ::VariantClear(&result);
  EXPECT_TRUE(installerTypeInfo().loaded());
  EXPECT_EQ(before + 1, terminationListLength());
  local.reset();
  // Running the clean-ups twice is harmless, and a later call loads again.
  runTerminationList();
  EXPECT_FALSE(installerTypeInfo().loaded());
  installerTypeInfo().clear();
  ASSERT_EQ(S_OK, Installer::create(nullptr, IID_IInstaller, local.putVoid()));
  EXPECT_EQ(S_OK, local->Invoke(2, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
  ::VariantClear(&result);
}

TEST_F(AutomationClient, TypeLibraryContents) {
  ComPtr<ITypeLib> library;
  ASSERT_EQ(S_OK, ::LoadRegTypeLib(LIBID_VARUDEVAVUZEZLib, 1, 0, 0x0409, library.put()));
  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(S_OK, library->GetLibAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(LIBID_VARUDEVAVUZEZLib, attributes->guid)) << "widl must not corrupt the LIBID";
  EXPECT_EQ(0x0409u, attributes->lcid);
  EXPECT_EQ(1, attributes->wMajorVerNum);
  EXPECT_EQ(0, attributes->wMinorVerNum);
  EXPECT_EQ(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, attributes->syskind);
  // Only the runtime's own "loaded from disk" flag; none stored in the library.
  EXPECT_EQ(0, attributes->wLibFlags & ~LIBFLAG_FHASDISKIMAGE);
  library->ReleaseTLibAttr(attributes);

  UniqueBstr name, help, helpFile;
  DWORD context = 7;
  ASSERT_EQ(S_OK, library->GetDocumentation(-1, name.put(), help.put(), &context, helpFile.put()));
  EXPECT_STREQ(L"VARUDEVAVUZEZLib", name.get());
  EXPECT_STREQ(L"VARuDevavuzez 1.0 Type Library", help.get());
  EXPECT_EQ(0u, context);
  EXPECT_FALSE(helpFile.present());
  ASSERT_EQ(3u, library->GetTypeInfoCount());

  const struct {
    const GUID* guid;
    TYPEKIND kind;
    WORD flags;
    const wchar_t* help;
  } types[] = {
      {&DIID__IInstallerEvents, TKIND_DISPATCH, TYPEFLAG_FDISPATCHABLE, L"_IInstallerEvents Interface"},
      {&CLSID_Installer, TKIND_COCLASS, TYPEFLAG_FCANCREATE, L"Installer Class"},
      {&IID_IInstaller, TKIND_INTERFACE, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE,
       L"IInstaller Interface"},
  };
  for (const auto& type : types) {
    ComPtr<ITypeInfo> info = typeOf(library.get(), *type.guid);
    ASSERT_TRUE(info);
    TYPEATTR* typeAttributes = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&typeAttributes));
    EXPECT_EQ(type.kind, typeAttributes->typekind) << testing::narrow(type.help);
    EXPECT_EQ(type.flags, typeAttributes->wTypeFlags) << testing::narrow(type.help);
    if (type.kind == TKIND_DISPATCH) {
      EXPECT_EQ(3, typeAttributes->cFuncs) << "Progress, ComponentDone, CertificateDone";
    }
    info->ReleaseTypeAttr(typeAttributes);
    ASSERT_EQ(S_OK, info->GetDocumentation(MEMBERID_NIL, nullptr, help.put(), nullptr, nullptr));
    EXPECT_STREQ(type.help, help.get());
  }
}

// The events a sink is called with: DISPIDs, names and argument types as sinks bind them.
TEST_F(AutomationClient, EventMembersAsStored) {
  ComPtr<ITypeLib> library;
  ASSERT_EQ(S_OK, ::LoadRegTypeLib(LIBID_VARUDEVAVUZEZLib, 1, 0, 0x0409, library.put()));
  ComPtr<ITypeInfo> info = typeOf(library.get(), DIID__IInstallerEvents);
  ASSERT_TRUE(info);
  const struct {
    DISPID id;
    const wchar_t* names[4];
    VARTYPE types[3];
  } events[] = {
      {1, {L"Progress", L"component", L"received", L"total"}, {VT_BSTR, VT_R8, VT_R8}},
      {2, {L"ComponentDone", L"component", L"result", L"detail"}, {VT_BSTR, VT_I4, VT_BSTR}},
      {3, {L"CertificateDone", L"name", L"result", L"detail"}, {VT_BSTR, VT_I4, VT_BSTR}},
  };
  for (UINT index = 0; index < 3; ++index) {
    const auto& event = events[index];
    SCOPED_TRACE(testing::narrow(event.names[0]));
    FUNCDESC* function = nullptr;
    ASSERT_EQ(S_OK, info->GetFuncDesc(index, &function));
    EXPECT_EQ(event.id, function->memid);
    EXPECT_EQ(INVOKE_FUNC, function->invkind);
    EXPECT_EQ(FUNC_DISPATCH, function->funckind);
    ASSERT_EQ(3, function->cParams);
    for (int parameter = 0; parameter < 3; ++parameter) {
      EXPECT_EQ(event.types[parameter], function->lprgelemdescParam[parameter].tdesc.vt) << parameter;
    }
    BSTR names[4] = {};
    UINT count = 0;
    ASSERT_EQ(S_OK, info->GetNames(event.id, names, 4, &count));
    ASSERT_EQ(4u, count);
    for (UINT name = 0; name < count; ++name) {
      EXPECT_STREQ(event.names[name], names[name]);
      ::SysFreeString(names[name]);
    }
    info->ReleaseFuncDesc(function);
  }
}

TEST_F(AutomationClient, InterfaceMembersAsStored) {
  ComPtr<ITypeLib> library;
  ASSERT_EQ(S_OK, ::LoadRegTypeLib(LIBID_VARUDEVAVUZEZLib, 1, 0, 0x0409, library.put()));
  ComPtr<ITypeInfo> info = typeOf(library.get(), IID_IInstaller);
  ASSERT_TRUE(info);
  const struct {
    DISPID id;
    INVOKEKIND kind;
    const wchar_t* help;
    VARTYPE firstType;
    USHORT firstFlags;
    const wchar_t* firstName;  // null: no name stored
    short parameters;
  } members[] = {
      {1, INVOKE_PROPERTYGET, L"property BaseURL", VT_PTR, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, L"pVal", 1},
      {1, INVOKE_PROPERTYPUT, L"property BaseURL", VT_BSTR, PARAMFLAG_FIN, nullptr, 1},
      {2, INVOKE_PROPERTYGET, L"property AuthPath", VT_PTR, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, L"pVal", 1},
      {2, INVOKE_PROPERTYPUT, L"property AuthPath", VT_BSTR, PARAMFLAG_FIN, nullptr, 1},
      {3, INVOKE_PROPERTYGET, L"property InstallPath", VT_PTR, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, L"pVal", 1},
      {3, INVOKE_PROPERTYPUT, L"property InstallPath", VT_BSTR, PARAMFLAG_FIN, nullptr, 1},
      {4, INVOKE_FUNC, L"method UpdateComponents", VT_BSTR, PARAMFLAG_FIN, L"components", 2},
      {5, INVOKE_FUNC, L"method InstallCertificate", VT_BSTR, PARAMFLAG_NONE, L"cerFileName", 1},
  };
  for (UINT index = 0; index < 8; ++index) {
    const auto& member = members[index];
    SCOPED_TRACE(testing::narrow(member.help));
    FUNCDESC* function = nullptr;
    ASSERT_EQ(S_OK, info->GetFuncDesc(index, &function));
    EXPECT_EQ(member.id, function->memid);
    EXPECT_EQ(member.kind, function->invkind);
    EXPECT_EQ(static_cast<SHORT>((7 + index) * sizeof(void*)), function->oVft) << "slot " << 7 + index;
    EXPECT_EQ(CC_STDCALL, function->callconv);
    EXPECT_EQ(FUNC_PUREVIRTUAL, function->funckind);
    EXPECT_EQ(VT_HRESULT, function->elemdescFunc.tdesc.vt);
    EXPECT_EQ(0, function->cParamsOpt);
    ASSERT_EQ(member.parameters, function->cParams);
    EXPECT_EQ(member.firstType, function->lprgelemdescParam[0].tdesc.vt);
    EXPECT_EQ(member.firstFlags, function->lprgelemdescParam[0].paramdesc.wParamFlags);
    if (member.firstType == VT_PTR) {
      EXPECT_EQ(VT_BSTR, function->lprgelemdescParam[0].tdesc.lptdesc->vt);
    }
    if (member.parameters == 2) {
      EXPECT_EQ(VT_PTR, function->lprgelemdescParam[1].tdesc.vt);
      EXPECT_EQ(VT_INT, function->lprgelemdescParam[1].tdesc.lptdesc->vt) << "an int, not a long";
      EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, function->lprgelemdescParam[1].paramdesc.wParamFlags);
    }
    info->ReleaseFuncDesc(function);
    // Names are looked up by member id, which a property's put shares with its get.
    if (member.kind != INVOKE_PROPERTYPUT) {
      BSTR names[3] = {};
      UINT count = 0;
      ASSERT_EQ(S_OK, info->GetNames(member.id, names, 3, &count));
      EXPECT_EQ(1u + member.parameters, count);
      if (count > 1) {
        EXPECT_STREQ(member.firstName, names[1]);
      }
      for (BSTR name : names) ::SysFreeString(name);
    }
    UniqueBstr help;
    DWORD context = 9;
    ASSERT_EQ(S_OK, info->GetDocumentation(member.id, nullptr, help.put(), &context, nullptr));
    EXPECT_EQ(0u, context);
  }
}

}  // namespace
}  // namespace corvane::testing
