// The page lock of a build with ALLOWED_PAGE_ORIGINS, against sites of our own: the test
// prefixes run without a browser engine, so a small container stands in for one. Each
// page is reached through both routes a control has: the client site's container, and
// the services that a script engine running in a page forwards.
#include <gtest/gtest.h>

#include <docobj.h>
#include <servprov.h>
#include <shlguid.h>

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>

#include "shell/com_base.h"
#include "shell/installer.h"
#include "support/wine_support.h"
#include "tests/shell/stand_in_browser.h"
#include "tests/shell/stand_in_document.h"

namespace corvane {
namespace {

using testing::makeBstr;
using testing::takeThreadErrorInfo;

// The list this test's Installer is linked with (see CMakeLists.txt).
const wchar_t kListedPage[] = L"https://pages.example.test/install.html";

// A new stand-in object held by its first reference.
template <typename Object, typename... Args>
ComPtr<Object> makeHeld(Args&&... args) {
  return ComPtr<Object>::copyOf(new Object(std::forward<Args>(args)...));
}

// True when iid names one of the interfaces that a stand-in offers only in some shapes.
bool oneOf(REFIID iid, std::initializer_list<const IID*> iids) {
  for (const IID* candidate : iids) {
    if (IsEqualIID(iid, *candidate)) return true;
  }
  return false;
}

// A document; also the container of what it holds, as a browser's document is.
class Document final
    : public ComObject<Document, ApartmentRefCount, testing::StandInDocument, IOleContainer> {
 public:
  // url: what get_URL gives (nullopt: it fails); asDocument: whether it is an HTML document at all.
  static ComPtr<Document> make(std::optional<std::wstring> url, bool asDocument = true) {
    return makeHeld<Document>(std::move(url), asDocument);
  }
  static const InterfaceEntry* interfaceTable() {
    static const InterfaceEntry table[] = {
        interfaceEntry<Document, IOleContainer>(IID_IOleContainer),
        interfaceEntry<Document, IOleContainer>(IID_IParseDisplayName),
        interfaceEntry<Document, IHTMLDocument2>(IID_IHTMLDocument2),
        interfaceEntry<Document, IHTMLDocument2>(IID_IHTMLDocument),
        interfaceEntry<Document, IHTMLDocument2>(IID_IDispatch),
        {nullptr, nullptr},
    };
    return table;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!asDocument_ && oneOf(iid, {&IID_IHTMLDocument2, &IID_IHTMLDocument, &IID_IDispatch})) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    return ComObject::QueryInterface(iid, out);
  }
  HRESULT STDMETHODCALLTYPE get_URL(BSTR* url) override {
    *url = nullptr;
    if (!url_) return E_FAIL;
    *url = ::SysAllocString(url_->c_str());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx*, LPOLESTR, ULONG*, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumObjects(DWORD, IEnumUnknown**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE LockContainer(BOOL) override { return S_OK; }

  Document(std::optional<std::wstring> url, bool asDocument) : url_(std::move(url)), asDocument_(asDocument) {}

 private:
  std::optional<std::wstring> url_;
  bool asDocument_;
};

// The top-level browser: its location and document are the top page's.
class Browser final : public ComObject<Browser, ApartmentRefCount, testing::StandInBrowser> {
 public:
  static ComPtr<Browser> make(const wchar_t* location) { return makeHeld<Browser>(location); }
  static const InterfaceEntry* interfaceTable() {
    static const InterfaceEntry table[] = {
        interfaceEntry<Browser, IWebBrowser2>(IID_IWebBrowser2),
        interfaceEntry<Browser, IWebBrowser2>(IID_IWebBrowserApp),
        interfaceEntry<Browser, IWebBrowser2>(IID_IWebBrowser),
        interfaceEntry<Browser, IWebBrowser2>(IID_IDispatch),
        {nullptr, nullptr},
    };
    return table;
  }
  HRESULT STDMETHODCALLTYPE get_LocationURL(BSTR* url) override {
    *url = ::SysAllocString(location_.c_str());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Document(IDispatch** document) override {
    return top_->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(document));
  }

  explicit Browser(const wchar_t* location) : location_(location), top_(Document::make(std::wstring(location))) {}

 private:
  std::wstring location_;
  ComPtr<Document> top_;
};

// What the container or the script engine hands the control. Null members are not offered.
struct SiteShape {
  bool clientSite = false;
  ComPtr<Document> container;  // what IOleClientSite::GetContainer gives
  bool services = false;
  ComPtr<Document> serviceDocument;  // the SID_SContainerDispatch service
  ComPtr<Browser> browser;           // the SID_SWebBrowserApp service
};

class Site final : public ComObject<Site, ApartmentRefCount, IOleClientSite, IServiceProvider> {
 public:
  static ComPtr<Site> make(SiteShape shape) { return makeHeld<Site>(std::move(shape)); }
  static const InterfaceEntry* interfaceTable() {
    static const InterfaceEntry table[] = {
        interfaceEntry<Site, IOleClientSite>(IID_IOleClientSite),
        interfaceEntry<Site, IServiceProvider>(IID_IServiceProvider),
        {nullptr, nullptr},
    };
    return table;
  }
  // A site offers only the routes of its shape; IUnknown it always answers.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if ((!shape_.clientSite && IsEqualIID(iid, IID_IOleClientSite)) ||
        (!shape_.services && IsEqualIID(iid, IID_IServiceProvider))) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    return ComObject::QueryInterface(iid, out);
  }
  HRESULT STDMETHODCALLTYPE SaveObject() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** out) override {
    *out = nullptr;
    if (!shape_.container) return E_NOINTERFACE;
    return shape_.container->QueryInterface(IID_IOleContainer, reinterpret_cast<void**>(out));
  }
  HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID iid, void** out) override {
    *out = nullptr;
    if (IsEqualGUID(service, SID_SContainerDispatch) && shape_.serviceDocument) {
      return shape_.serviceDocument->QueryInterface(iid, out);
    }
    if (IsEqualGUID(service, SID_SWebBrowserApp) && shape_.browser) return shape_.browser->QueryInterface(iid, out);
    return E_NOINTERFACE;
  }

  explicit Site(SiteShape shape) : shape_(std::move(shape)) {}

 private:
  SiteShape shape_;
};

// The document reached through the container, or through the script engine's services.
SiteShape throughContainer(ComPtr<Document> document, ComPtr<Browser> browser = nullptr) {
  SiteShape shape;
  shape.clientSite = true;
  shape.container = std::move(document);
  shape.services = static_cast<bool>(browser);
  shape.browser = std::move(browser);
  return shape;
}
SiteShape throughServices(ComPtr<Document> document, ComPtr<Browser> browser = nullptr) {
  SiteShape shape;
  shape.services = true;
  shape.serviceDocument = std::move(document);
  shape.browser = std::move(browser);
  return shape;
}

// A site offering both routes, each to its own document.
SiteShape throughBoth(ComPtr<Document> container, ComPtr<Document> serviceDocument) {
  SiteShape shape = throughContainer(std::move(container));
  shape.services = true;
  shape.serviceDocument = std::move(serviceDocument);
  return shape;
}

struct LockCase {
  const char* label;
  std::function<ComPtr<Site>()> site;  // null: no site at all
  bool allowed;
};

class PageLock : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(S_OK, Installer::createInstance(IID_IInstaller, installer.putVoid())); }

  // With no settings, an allowed page meets the settings checks; a refused one never does.
  void expectDecision(const LockCase& row) {
    SCOPED_TRACE(row.label);
    ComPtr<IObjectWithSite> withSite;
    ASSERT_EQ(S_OK, installer->QueryInterface(IID_IObjectWithSite, withSite.putVoid()));
    ComPtr<Site> site = row.site ? row.site() : nullptr;
    ASSERT_EQ(S_OK, withSite->SetSite(site ? static_cast<IOleClientSite*>(site.get()) : nullptr));
    int result = 7;
    EXPECT_EQ(DISP_E_EXCEPTION, installer->UpdateComponents(nullptr, &result));
    EXPECT_EQ(0, result);
    EXPECT_EQ(row.allowed ? L"CodebaseURL is not initialized" : L"Page is not allowed",
              takeThreadErrorInfo().description);
    auto file = makeBstr(L"c.cer");
    EXPECT_EQ(DISP_E_EXCEPTION, installer->InstallCertificate(file.get()));
    EXPECT_EQ(row.allowed ? L"BaseURL is not initialized" : L"Page is not allowed", takeThreadErrorInfo().description);
  }

  ComPtr<IInstaller> installer;
};

TEST_F(PageLock, OnlyListedDocumentsAndApplicationsMayStartAJob) {
  const auto page = [](const wchar_t* url) { return Document::make(std::wstring(url)); };
  const LockCase cases[] = {
      {"no site", nullptr, true},
      {"listed page, container", [&] { return Site::make(throughContainer(page(kListedPage))); }, true},
      {"listed page, services", [&] { return Site::make(throughServices(page(kListedPage))); }, true},
      {"listed page in other letter case, services",
       [&] { return Site::make(throughServices(page(L"HTTPS://Pages.Example.Test/x"))); }, true},
      {"listed http page with port, container",
       [&] { return Site::make(throughContainer(page(L"http://127.0.0.1:8080/a"))); }, true},
      {"foreign page, container",
       [&] { return Site::make(throughContainer(page(L"https://foreign.example.test/"))); }, false},
      {"foreign page, services",
       [&] { return Site::make(throughServices(page(L"https://foreign.example.test/"))); }, false},
      {"listed host on another port, container",
       [&] { return Site::make(throughContainer(page(L"https://pages.example.test:8443/"))); }, false},
      {"listed host on another port, services",
       [&] { return Site::make(throughServices(page(L"http://127.0.0.1:8081/"))); }, false},
      {"listed top page framing a foreign one, container",
       [&] {
         return Site::make(throughContainer(page(L"https://foreign.example.test/frame"), Browser::make(kListedPage)));
       },
       false},
      {"listed top page framing a foreign one, services",
       [&] {
         return Site::make(throughServices(page(L"https://foreign.example.test/frame"), Browser::make(kListedPage)));
       },
       false},
      {"listed container, foreign service document: the container holds the control",
       [&] { return Site::make(throughBoth(page(kListedPage), page(L"https://foreign.example.test/"))); }, true},
      {"foreign container, listed service document",
       [&] { return Site::make(throughBoth(page(L"https://foreign.example.test/"), page(kListedPage))); }, false},
      {"listed host after two user names, which WinINet ends at the first",
       [&] { return Site::make(throughContainer(page(L"https://a@b@pages.example.test/"))); }, false},
      {"browser without a document", [&] { return Site::make(throughServices(nullptr, Browser::make(kListedPage))); },
       false},
      {"container that is no HTML document",
       [&] { return Site::make(throughContainer(Document::make(std::wstring(kListedPage), false))); }, false},
      {"document whose URL cannot be read, container",
       [&] { return Site::make(throughContainer(Document::make(std::nullopt))); }, false},
      {"document whose URL cannot be read, services",
       [&] { return Site::make(throughServices(Document::make(std::nullopt))); }, false},
      {"site with services but neither browser nor container",
       [&] { return Site::make(throughServices(nullptr)); }, true},
      {"site with nothing to offer", [&] { return Site::make(SiteShape{}); }, true},
  };
  for (const LockCase& row : cases) expectDecision(row);
}

TEST_F(PageLock, PropertyPutsAreNotLocked) {
  ComPtr<IObjectWithSite> withSite;
  ASSERT_EQ(S_OK, installer->QueryInterface(IID_IObjectWithSite, withSite.putVoid()));
  ComPtr<Site> site = Site::make(throughContainer(Document::make(std::wstring(L"https://foreign.example.test/"))));
  ASSERT_EQ(S_OK, withSite->SetSite(static_cast<IOleClientSite*>(site.get())));
  auto value = makeBstr(L"http://127.0.0.1:9/");
  EXPECT_EQ(S_OK, installer->put_BaseURL(value.get()));
  UniqueBstr read;
  EXPECT_EQ(S_OK, installer->get_BaseURL(read.put()));
  EXPECT_STREQ(L"http://127.0.0.1:9/", read.get());
  int result = 7;
  EXPECT_EQ(DISP_E_EXCEPTION, installer->UpdateComponents(nullptr, &result));
  EXPECT_EQ(L"Page is not allowed", takeThreadErrorInfo().description) << "the lock comes before the settings";
}

}  // namespace
}  // namespace corvane
