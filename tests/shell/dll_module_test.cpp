// The DLL's entry points and objects, loaded with LoadLibrary and driven through its
// exports: lock accounting, the class object, identity and the stock interfaces.
#include <gtest/gtest.h>

#include <objsafe.h>
#include <ocidl.h>
#include <olectl.h>

#include "generated/installer_idl.h"
#include "tests/shell/server_support.h"

namespace corvane::testing {
namespace {

using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFunction = HRESULT(STDAPICALLTYPE*)();

template <typename Function>
Function exportOf(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// A COM object with a count the test can watch: the site handed to SetSite.
class CountedSite final : public IServiceProvider {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IServiceProvider)) {
      *out = static_cast<IServiceProvider*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
  ULONG STDMETHODCALLTYPE Release() override { return --count; }
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID, REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG count = 1;
};

ULONG countSeenBySupportFace(IUnknown* object) {
  ComPtr<ISupportErrorInfo> support;
  object->QueryInterface(IID_ISupportErrorInfo, support.putVoid());
  const ULONG count = support->AddRef() - 1;  // less the reference just taken
  support->Release();
  return count - 1;  // less the reference the query took
}

class DllModule : public ::testing::Test {
 protected:
  void SetUp() override {
    module.reset(::LoadLibraryW(testing::serverDllPath().c_str()));
    ASSERT_TRUE(module.valid()) << ::GetLastError();
    getClassObject = exportOf<GetClassObjectFunction>(module.get(), "DllGetClassObject");
    canUnloadNow = exportOf<CanUnloadNowFunction>(module.get(), "DllCanUnloadNow");
    ASSERT_NE(nullptr, getClassObject);
    ASSERT_NE(nullptr, canUnloadNow);
  }
  ComPtr<IClassFactory> factory() {
    ComPtr<IClassFactory> result;
    EXPECT_EQ(S_OK, getClassObject(CLSID_Installer, IID_IClassFactory, result.putVoid()));
    return result;
  }
  ComPtr<IInstaller> installer() {
    ComPtr<IInstaller> result;
    EXPECT_EQ(S_OK, factory()->CreateInstance(nullptr, IID_IInstaller, result.putVoid()));
    return result;
  }
  template <typename T>
  ComPtr<T> face(IUnknown* object, REFIID iid) {
    ComPtr<T> result;
    EXPECT_EQ(S_OK, object->QueryInterface(iid, result.putVoid()));
    return result;
  }

  UniqueModule module;
  GetClassObjectFunction getClassObject = nullptr;
  CanUnloadNowFunction canUnloadNow = nullptr;
};

TEST_F(DllModule, ExportsExactlyTheFourEntryPoints) {
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"}) {
    EXPECT_NE(nullptr, reinterpret_cast<void*>(::GetProcAddress(module.get(), name))) << name;
  }
  EXPECT_EQ(nullptr, reinterpret_cast<void*>(::GetProcAddress(module.get(), "DllMain")));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module.get());
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const BYTE*>(dos) + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(
      reinterpret_cast<const BYTE*>(dos) + directory.VirtualAddress);
  EXPECT_EQ(4u, exports->NumberOfNames);
  EXPECT_EQ(4u, exports->NumberOfFunctions);
}

TEST_F(DllModule, CarriesTheScriptTheLibraryAndItsName) {
  HRSRC found = ::FindResourceW(module.get(), MAKEINTRESOURCEW(101), L"REGISTRY");
  ASSERT_NE(nullptr, found);
  const std::string embedded(static_cast<const char*>(::LockResource(::LoadResource(module.get(), found))),
                             ::SizeofResource(module.get(), found));
  UniqueHandle file(::CreateFileW(testing::registryScriptFilePath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file.valid());
  std::string source(4096, '\0');
  DWORD read = 0;
  ASSERT_TRUE(::ReadFile(file.get(), &source[0], static_cast<DWORD>(source.size()), &read, nullptr));
  source.resize(read);
  EXPECT_EQ(source, embedded) << "the script resource must keep its bytes";
  EXPECT_NE(std::string::npos, embedded.find("HKCR\r\n{\r\n\tVARuDevavuzez.Installer.1 = s")) << "CR LF and tabs";

  wchar_t name[64] = {};
  ASSERT_EQ(13, ::LoadStringW(module.get(), 100, name, 64));
  EXPECT_STREQ(L"VARuDevavuzez", name);
  HRSRC libraryResource = ::FindResourceW(module.get(), MAKEINTRESOURCEW(1), L"TYPELIB");
  ASSERT_NE(nullptr, libraryResource);
  // Parameter names as stored: the property puts keep none (the IDL's "newVal" is not kept).
  const std::string libraryBytes(
      static_cast<const char*>(::LockResource(::LoadResource(module.get(), libraryResource))),
      ::SizeofResource(module.get(), libraryResource));
  for (const char* stored : {"pVal", "components", "cerFileName"}) {
    EXPECT_NE(std::string::npos, libraryBytes.find(stored)) << stored;
  }
  EXPECT_EQ(std::string::npos, libraryBytes.find("newVal"));

  // The 32-bit product's library differs in its system kind only.
  ComPtr<ITypeLib> library;
  ASSERT_EQ(S_OK, ::LoadTypeLibEx(testing::win32TypeLibraryFilePath().c_str(), REGKIND_NONE, library.put()));
  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(S_OK, library->GetLibAttr(&attributes));
  EXPECT_EQ(SYS_WIN32, attributes->syskind);
  EXPECT_TRUE(IsEqualGUID(LIBID_VARUDEVAVUZEZLib, attributes->guid));
  library->ReleaseTLibAttr(attributes);
}

TEST_F(DllModule, LockAccountingFollowsObjectsClassObjectAndServerLocks) {
  EXPECT_EQ(S_OK, canUnloadNow());
  {
    ComPtr<IClassFactory> held = factory();
    EXPECT_EQ(S_FALSE, canUnloadNow()) << "a caller holds the class object";
    ComPtr<IClassFactory> second = held;
    second.reset();
    EXPECT_EQ(S_FALSE, canUnloadNow());
  }
  EXPECT_EQ(S_OK, canUnloadNow()) << "two references to the class object take one lock, not two";
  {
    ComPtr<IInstaller> object = installer();
    EXPECT_EQ(S_FALSE, canUnloadNow()) << "a live object holds the module";
  }
  EXPECT_EQ(S_OK, canUnloadNow());

  ComPtr<IClassFactory> held = factory();
  EXPECT_EQ(S_OK, held->LockServer(TRUE));
  held.reset();
  EXPECT_EQ(S_FALSE, canUnloadNow()) << "LockServer(TRUE) keeps the module";
  factory()->LockServer(FALSE);
  EXPECT_EQ(S_OK, canUnloadNow());
}

TEST_F(DllModule, ClassObjectIsCachedAndOtherClassesAreUnavailable) {
  ComPtr<IUnknown> first, second;
  ASSERT_EQ(S_OK, getClassObject(CLSID_Installer, IID_IUnknown, first.putVoid()));
  ASSERT_EQ(S_OK, getClassObject(CLSID_Installer, IID_IClassFactory, second.putVoid()));
  ComPtr<IUnknown> secondIdentity = face<IUnknown>(second.get(), IID_IUnknown);
  EXPECT_EQ(first.get(), secondIdentity.get());

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(IID_IInstaller, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, getClassObject(CLSID_Installer, IID_IClassFactory, nullptr));
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, getClassObject(CLSID_Installer, IID_IDispatch, &out));
  EXPECT_EQ(nullptr, out);
}

TEST_F(DllModule, CreationRefusesAggregationAndLeavesNothingBehind) {
  ComPtr<IClassFactory> held = factory();
  ComPtr<IInstaller> outer = installer();
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_NOAGGREGATION, held->CreateInstance(outer.get(), IID_IUnknown, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(CLASS_E_NOAGGREGATION, held->CreateInstance(outer.get(), IID_IInstaller, &out));
  EXPECT_EQ(E_POINTER, held->CreateInstance(nullptr, IID_IInstaller, nullptr));
  outer.reset();
  EXPECT_EQ(E_NOINTERFACE, held->CreateInstance(nullptr, IID_IPersist, &out));
  EXPECT_EQ(nullptr, out);
  held.reset();
  EXPECT_EQ(S_OK, canUnloadNow()) << "a refused creation must not keep a lock";
}

TEST_F(DllModule, QueryInterfaceIdentity) {
  ComPtr<IInstaller> object = installer();
  ComPtr<IUnknown> unknown = face<IUnknown>(object.get(), IID_IUnknown);
  ComPtr<IDispatch> dispatch = face<IDispatch>(object.get(), IID_IDispatch);
  EXPECT_EQ(static_cast<void*>(object.get()), static_cast<void*>(unknown.get()));
  EXPECT_EQ(static_cast<void*>(object.get()), static_cast<void*>(dispatch.get()));
  ComPtr<IProvideClassInfo> classInfo = face<IProvideClassInfo>(object.get(), IID_IProvideClassInfo);
  ComPtr<IProvideClassInfo2> classInfo2 = face<IProvideClassInfo2>(object.get(), IID_IProvideClassInfo2);
  EXPECT_EQ(static_cast<void*>(classInfo.get()), static_cast<void*>(classInfo2.get()));
  // Every face leads back to the same identity.
  for (const IID* iid : {&IID_ISupportErrorInfo, &IID_IConnectionPointContainer, &IID_IObjectWithSite,
                         &IID_IObjectSafety, &IID_IProvideClassInfo2}) {
    ComPtr<IUnknown> other = face<IUnknown>(object.get(), *iid);
    ComPtr<IUnknown> identity = face<IUnknown>(other.get(), IID_IUnknown);
    EXPECT_EQ(unknown.get(), identity.get());
    ComPtr<IInstaller> back = face<IInstaller>(other.get(), IID_IInstaller);
    EXPECT_EQ(object.get(), back.get());
  }
  for (const IID* iid : {&IID_IConnectionPoint, &IID_IPersist, &IID_IPersistStreamInit, &IID_IOleObject,
                         &IID_IMarshal, &IID_IClassFactory}) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(*iid, &out));
    EXPECT_EQ(nullptr, out);
  }
  EXPECT_EQ(E_POINTER, object->QueryInterface(IID_IUnknown, nullptr));
  // One count for every face.
  const ULONG before = object->AddRef();
  EXPECT_EQ(before + 1, classInfo->AddRef());
  EXPECT_EQ(before + 1, countSeenBySupportFace(object.get()));
  classInfo->Release();
  object->Release();
}

TEST_F(DllModule, SafetyOptionsKeepTheirOddArithmetic) {
  ComPtr<IObjectSafety> safety = face<IObjectSafety>(installer().get(), IID_IObjectSafety);
  DWORD supported = 9, enabled = 9;
  ASSERT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(3u, supported);
  EXPECT_EQ(0u, enabled);
  EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 1));
  safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
  EXPECT_EQ(1u, enabled);
  EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 0));
  safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
  EXPECT_EQ(3u, enabled) << "the mask is OR-ed in";
  EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IInstaller, 0, 2));
  safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
  EXPECT_EQ(1u, enabled) << "the enabled argument clears bits";
  EXPECT_EQ(E_FAIL, safety->SetInterfaceSafetyOptions(IID_IDispatch, 4, 0));
  safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
  EXPECT_EQ(1u, enabled);
  EXPECT_EQ(E_NOINTERFACE, safety->SetInterfaceSafetyOptions(IID_IPersist, 1, 0));
  supported = enabled = 9;
  EXPECT_EQ(E_NOINTERFACE, safety->GetInterfaceSafetyOptions(IID_IPersist, &supported, &enabled));
  EXPECT_EQ(0u, supported);
  EXPECT_EQ(0u, enabled);
  EXPECT_EQ(E_POINTER, safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled));
  EXPECT_EQ(E_POINTER, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, nullptr));
}

TEST_F(DllModule, SiteIsHeldUntilReplacedOrCleared) {
  CountedSite site;
  ComPtr<IObjectWithSite> withSite = face<IObjectWithSite>(installer().get(), IID_IObjectWithSite);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_FAIL, withSite->GetSite(IID_IUnknown, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, withSite->GetSite(IID_IUnknown, nullptr));
  ASSERT_EQ(S_OK, withSite->SetSite(&site));
  EXPECT_EQ(2u, site.count);
  ComPtr<IServiceProvider> provider;
  ASSERT_EQ(S_OK, withSite->GetSite(IID_IServiceProvider, provider.putVoid()));
  EXPECT_EQ(static_cast<IServiceProvider*>(&site), provider.get());
  provider.reset();
  EXPECT_EQ(E_NOINTERFACE, withSite->GetSite(IID_IDispatch, &out));
  ASSERT_EQ(S_OK, withSite->SetSite(nullptr));
  EXPECT_EQ(1u, site.count) << "SetSite(null) releases the held site";
  ASSERT_EQ(S_OK, withSite->SetSite(&site));
  withSite.reset();
  EXPECT_EQ(1u, site.count) << "destroying the object releases its site";
}

TEST_F(DllModule, ErrorInfoSupportAndClassInfoGuid) {
  ComPtr<IInstaller> object = installer();
  ComPtr<ISupportErrorInfo> support = face<ISupportErrorInfo>(object.get(), IID_ISupportErrorInfo);
  EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IInstaller));
  EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IDispatch));
  ComPtr<IProvideClassInfo2> classInfo = face<IProvideClassInfo2>(object.get(), IID_IProvideClassInfo2);
  GUID guid{};
  ASSERT_EQ(S_OK, classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &guid));
  EXPECT_TRUE(IsEqualGUID(DIID__IInstallerEvents, guid));
  EXPECT_EQ(E_FAIL, classInfo->GetGUID(2, &guid));
  EXPECT_TRUE(IsEqualGUID(GUID_NULL, guid));
  EXPECT_EQ(E_POINTER, classInfo->GetGUID(1, nullptr));
  EXPECT_EQ(E_POINTER, classInfo->GetClassInfo(nullptr));
  UINT count = 0;
  EXPECT_EQ(S_OK, object->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  EXPECT_EQ(E_POINTER, object->GetTypeInfoCount(nullptr));
  EXPECT_EQ(E_POINTER, object->GetTypeInfo(0, 0, nullptr));
}

// One connection point, for the event interface alone; the enumerator lists it and keeps
// the object (its points' owner) and the module alive.
TEST_F(DllModule, OneConnectionPointForTheEventInterface) {
  ComPtr<IInstaller> object = installer();
  ComPtr<IConnectionPointContainer> container =
      face<IConnectionPointContainer>(object.get(), IID_IConnectionPointContainer);
  IConnectionPoint* point = reinterpret_cast<IConnectionPoint*>(1);
  EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IPropertyNotifySink, &point));
  EXPECT_EQ(nullptr, point);
  EXPECT_EQ(E_POINTER, container->FindConnectionPoint(DIID__IInstallerEvents, nullptr));
  EXPECT_EQ(E_POINTER, container->EnumConnectionPoints(nullptr));
  ComPtr<IConnectionPoint> found;
  ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID__IInstallerEvents, found.put()));
  IID iid{};
  ASSERT_EQ(S_OK, found->GetConnectionInterface(&iid));
  EXPECT_TRUE(IsEqualIID(DIID__IInstallerEvents, iid));
  ComPtr<IConnectionPointContainer> back;
  ASSERT_EQ(S_OK, found->GetConnectionPointContainer(back.put()));
  EXPECT_EQ(container.get(), back.get());
  back.reset();
  DWORD cookie = 7;
  EXPECT_EQ(E_POINTER, found->Advise(nullptr, &cookie));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, found->Unadvise(12345));

  ComPtr<IEnumConnectionPoints> enumerator;
  ASSERT_EQ(S_OK, container->EnumConnectionPoints(enumerator.put()));
  container.reset();
  object.reset();
  EXPECT_EQ(S_FALSE, canUnloadNow()) << "the enumerator holds the module";
  IConnectionPoint* elements[2] = {};
  ULONG fetched = 7;
  EXPECT_EQ(S_FALSE, enumerator->Next(2, elements, &fetched));
  ASSERT_EQ(1u, fetched);
  EXPECT_EQ(found.get(), elements[0]) << "the enumerator lists the point FindConnectionPoint gives";
  elements[0]->Release();
  EXPECT_EQ(S_FALSE, enumerator->Next(1, elements, &fetched));
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(E_POINTER, enumerator->Next(2, elements, nullptr));
  EXPECT_EQ(E_POINTER, enumerator->Next(1, nullptr, &fetched));
  EXPECT_EQ(S_OK, enumerator->Reset());
  EXPECT_EQ(S_OK, enumerator->Skip(0));
  ComPtr<IEnumConnectionPoints> clone;
  ASSERT_EQ(S_OK, enumerator->Clone(clone.put()));
  EXPECT_EQ(E_POINTER, enumerator->Clone(nullptr));
  enumerator.reset();
  found.reset();
  EXPECT_EQ(S_OK, clone->Next(1, elements, &fetched)) << "the clone keeps the array and the object alive";
  elements[0]->Release();
  EXPECT_EQ(S_FALSE, canUnloadNow());
  clone.reset();
  EXPECT_EQ(S_OK, canUnloadNow()) << "the last enumerator released its owner and its lock";
}

}  // namespace
}  // namespace corvane::testing
