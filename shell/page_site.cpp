#include "shell/page_site.h"

#include <windows.h>
#include <docobj.h>
#include <exdisp.h>
#include <mshtml.h>
#include <servprov.h>
#include <shlguid.h>

#include "shell/com_owners.h"

namespace corvane {
namespace {

// Document URLs are ASCII (hosts in punycode, the rest percent-encoded); anything else
// is kept as an empty URL, which matches no origin.
std::string urlText(const wchar_t* url) {
  std::string text;
  for (const wchar_t* c = url; *c != L'\0'; ++c) {
    if (*c < 0x21 || *c > 0x7E) return std::string();
    text.push_back(static_cast<char>(*c));
  }
  return text;
}

std::optional<std::string> documentUrl(IHTMLDocument2* document) {
  UniqueBstr url;
  if (FAILED(document->get_URL(url.put())) || !url.present()) return std::nullopt;
  return urlText(url.get());
}

// The client site's container is the document that holds the control.
void readClientSite(IUnknown* site, PageEvidence& evidence) {
  ComPtr<IOleClientSite> clientSite;
  ComPtr<IOleContainer> container;
  if (FAILED(site->QueryInterface(IID_IOleClientSite, clientSite.putVoid())) ||
      FAILED(clientSite->GetContainer(container.put())) || !container) {
    return;
  }
  evidence.browserOrContainer = true;
  ComPtr<IHTMLDocument2> document;
  if (SUCCEEDED(container->QueryInterface(IID_IHTMLDocument2, document.putVoid())) && document) {
    evidence.documentUrl = documentUrl(document.get());
  }
}

// What a script engine running in a page forwards: the container's document as a
// service, and the browser, whose presence alone says that a page is there.
void readServices(IUnknown* site, PageEvidence& evidence) {
  ComPtr<IServiceProvider> services;
  if (FAILED(site->QueryInterface(IID_IServiceProvider, services.putVoid())) || !services) return;
  ComPtr<IHTMLDocument2> document;
  if (SUCCEEDED(services->QueryService(SID_SContainerDispatch, IID_IHTMLDocument2, document.putVoid())) &&
      document) {
    evidence.browserOrContainer = true;
    if (!evidence.documentUrl) evidence.documentUrl = documentUrl(document.get());
  }
  ComPtr<IWebBrowser2> browser;
  if (SUCCEEDED(services->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2, browser.putVoid())) && browser) {
    evidence.browserOrContainer = true;
  }
}

}  // namespace

PageEvidence pageEvidenceOf(IUnknown* site) noexcept {
  PageEvidence evidence;
  if (site == nullptr) return evidence;
  evidence.hasSite = true;
  try {
    readClientSite(site, evidence);
    readServices(site, evidence);
  } catch (...) {
    // Out of memory while copying a URL: whatever was learnt so far decides, and a page
    // whose document could not be read is refused.
    evidence.browserOrContainer = true;
  }
  return evidence;
}

}  // namespace corvane
