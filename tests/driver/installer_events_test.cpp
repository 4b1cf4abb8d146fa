// The Installer's events through its connection point, as an application's C++ sink gets
// them (Wine's script host cannot advise): one outcome per named component, progress of
// each download before its outcome, and sinks that fail, call back in or let go of the
// object during an event without changing what the call does.
#include <gtest/gtest.h>

#include <olectl.h>

#include <functional>
#include <map>

#include "shell/com_base.h"
#include "shell/installer.h"
#include "support/text.h"
#include "support/wine_support.h"
#include "tests/driver/driver_fixture.h"

namespace corvane::testing {
namespace {

std::string narrowText(const wchar_t* text) { return text ? std::string(text, text + ::SysStringLen(const_cast<BSTR>(text))) : ""; }

struct Event {
  DISPID id;
  std::string name;
  double received = 0, total = 0;  // Progress
  long result = -1;                // ComponentDone, CertificateDone
  std::string detail;
};

// Records every event; `onEvent` runs inside the event, and `failWith` is what Invoke
// answers (a script's exception comes back as DISP_E_EXCEPTION with its EXCEPINFO).
class RecordingSink final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    static const InterfaceEntry kFaces[] = {interfaceEntry<RecordingSink, IDispatch>(IID_IDispatch), {nullptr, nullptr}};
    return queryInterfaceFromTable(this, kFaces, iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* parameters, VARIANT*,
                                   EXCEPINFO* exception, UINT*) override {
    EXPECT_EQ(DISPATCH_METHOD, flags);
    EXPECT_EQ(3u, parameters->cArgs);
    const VARIANT* arguments = parameters->rgvarg;  // last argument first
    Event event{id, narrowText(arguments[2].bstrVal), 0, 0, -1, ""};
    if (id == 1) {
      EXPECT_EQ(VT_R8, arguments[1].vt);
      event.received = arguments[1].dblVal;
      event.total = arguments[0].dblVal;
    } else {
      EXPECT_EQ(VT_I4, arguments[1].vt);
      event.result = arguments[1].lVal;
      event.detail = narrowText(arguments[0].bstrVal);
    }
    events.push_back(event);
    if (onEvent) onEvent(events.back());
    if (failWith == DISP_E_EXCEPTION && exception) exception->bstrDescription = ::SysAllocString(L"sink failed");
    return failWith;
  }

  std::vector<Event> events;
  std::function<void(const Event&)> onEvent;
  HRESULT failWith = S_OK;
  ULONG references = 1;
};

class InstallerEvents : public ::testing::Test, public testing::JobTest {
 protected:
  InstallerEvents() : JobTest(::testing::UnitTest::GetInstance()->current_test_info()->name()) {}
  void SetUp() override {
    for (const char* artefact : {"data.cab", "ok.cab", "fail.cab", "publisher.cer"}) publish(artefact);
    publishCatalog(
        "data,data.cab,data.txt,2.0.0.0,2,0\n"
        "ok,ok.cab,registers_ok.dll,1.0.0.1,1,0\n"
        "fails,fail.cab,registers_one.dll,1.0.0.0,1,0\n"
        "nocab,missing.cab,x.txt,1.0.0.0,2,0\n"
        "absent,data.cab,absent.txt,1.0.0.0,2,0\n"
        "outside,data.cab,..\\data.txt,1.0.0.0,2,0\n");
    installer = newInstaller(served.url);
  }
  void TearDown() override {
    if (cookie != 0) point->Unadvise(cookie);
  }
  static ComPtr<IInstaller> newInstaller(const std::string& baseUrl, const std::string& authPath = "/auth") {
    ComPtr<IInstaller> made;
    EXPECT_EQ(S_OK, Installer::createInstance(IID_IInstaller, made.putVoid()));
    auto base = makeBstr(widen(baseUrl).c_str());
    auto auth = makeBstr(widen(authPath).c_str());
    made->put_BaseURL(base.get());
    made->put_AuthPath(auth.get());
    return made;
  }
  void advise(IInstaller* object, RecordingSink& to) {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IConnectionPointContainer, container.putVoid()));
    ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID__IInstallerEvents, point.put()));
    ASSERT_EQ(S_OK, point->Advise(static_cast<IDispatch*>(&to), &cookie));
    EXPECT_NE(0u, cookie);
  }
  int update(IInstaller* object, const std::string& path, const wchar_t* names, HRESULT expected = S_OK) {
    auto install = makeBstr(widen(path).c_str());
    object->put_InstallPath(install.get());
    auto list = makeBstr(names);
    int result = -1;
    EXPECT_EQ(expected, object->UpdateComponents(list.get(), &result));
    return result;
  }
  // The outcome of each component, failing the test when one is told twice.
  static std::map<std::string, long> outcomesOf(const std::vector<Event>& events, DISPID kind = 2) {
    std::map<std::string, long> outcomes;
    for (const Event& event : events) {
      if (event.id != kind) continue;
      EXPECT_TRUE(outcomes.emplace(event.name, event.result).second) << event.name << " told twice";
      EXPECT_FALSE(event.detail.empty()) << event.name;
    }
    return outcomes;
  }

  ComPtr<IInstaller> installer;
  ComPtr<IConnectionPoint> point;
  DWORD cookie = 0;
  RecordingSink sink;
};

// Every named component once, each failure kind with its code; what is installed is what
// a call without a sink installs.
TEST_F(InstallerEvents, OneOutcomePerNamedComponent) {
  advise(installer.get(), sink);
  EXPECT_EQ(1, update(installer.get(), installPath, L"data,ok,fails,missing,nocab,absent,outside,data"));
  const std::map<std::string, long> expected = {
      {"data", 0},      {"ok", 0},      {"fails", 105}, {"missing", 101},
      {"nocab", 11},    {"absent", 103}, {"outside", 108}};
  EXPECT_EQ(expected, outcomesOf(sink.events));
  EXPECT_EQ(fileBytes(builtArtefact("payload/data.txt")), fileBytes(installPath + "data.txt"));
  EXPECT_EQ("data,,data.txt,2.0.0.0,2,0\nok,,registers_ok.dll,1.0.0.1,1,0\n", readFile(listPath));

  // Each download's progress comes before its component's outcome, and ends at the
  // package's full size.
  for (const std::string component : {"data", "ok"}) {
    SCOPED_TRACE(component);
    const std::string cab = builtArtefact(component + ".cab");
    const double size = static_cast<double>(fileBytes(cab).size());
    std::optional<Event> lastProgress;
    bool done = false;
    for (const Event& event : sink.events) {
      if (event.name != component) continue;
      if (event.id == 1) {
        EXPECT_FALSE(done) << "progress after the outcome";
        lastProgress = event;
      }
      if (event.id == 2) done = true;
    }
    ASSERT_TRUE(lastProgress);
    EXPECT_EQ(size, lastProgress->received);
    EXPECT_EQ(size, lastProgress->total);
  }

  sink.events.clear();
  EXPECT_EQ(0, update(installer.get(), installPath, L"data,ok"));
  EXPECT_EQ((std::map<std::string, long>{{"data", 100}, {"ok", 100}}), outcomesOf(sink.events));
}

TEST_F(InstallerEvents, UnreadableCatalogAndFailedHandshakeNameEveryComponent) {
  ComPtr<IInstaller> nowhere = newInstaller(served.url + "nowhere/");
  advise(nowhere.get(), sink);
  EXPECT_EQ(0, update(nowhere.get(), installPath, L"data,ok"));
  EXPECT_EQ((std::map<std::string, long>{{"data", 102}, {"ok", 102}}), outcomesOf(sink.events));
  point->Unadvise(cookie);

  RecordingSink other;
  ComPtr<IInstaller> foreignKey = newInstaller(served.url, "/_fault/wrong-key/auth");
  advise(foreignKey.get(), other);
  EXPECT_EQ(1, update(foreignKey.get(), installPath, L"data"));
  EXPECT_EQ((std::map<std::string, long>{{"data", 17}}), outcomesOf(other.events));
  EXPECT_FALSE(pathExists(installPath + "data.txt"));
}

// An old copy held open without delete sharing cannot be replaced: the component is not
// placed (110), and the next call, after the holder lets go, installs it.
TEST_F(InstallerEvents, HeldOldCopyIsToldAsNotPlaced) {
  publish("note-long.cab");
  publishCatalog("note,note-long.cab,note.txt,1.0.0.1,2,0\n");
  EXPECT_EQ(1, update(installer.get(), installPath, L"note"));
  publish("note-short.cab");
  publishCatalog("note,note-short.cab,note.txt,1.0.0.2,2,0\n");
  advise(installer.get(), sink);
  {
    const UniqueHandle held(::CreateFileA((installPath + "note.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    update(installer.get(), installPath, L"note");
  }
  EXPECT_EQ((std::map<std::string, long>{{"note", 110}}), outcomesOf(sink.events));
  sink.events.clear();
  update(installer.get(), installPath, L"note");
  EXPECT_EQ((std::map<std::string, long>{{"note", 0}}), outcomesOf(sink.events));
  EXPECT_EQ(fileBytes(builtArtefact("editions/short/note.txt")), fileBytes(installPath + "note.txt"));
}

// A library whose bytes are no longer those the control installed is not loaded; its
// component is told so, though the catalog has nothing newer.
TEST_F(InstallerEvents, ReplacedLibraryIsToldAsNotRegistered) {
  EXPECT_EQ(1, update(installer.get(), installPath, L"ok"));
  writeWholeFile(installPath + "registers_ok.dll", readFile(builtArtefact("registers_one.dll")));
  advise(installer.get(), sink);
  EXPECT_EQ(0, update(installer.get(), installPath, L"ok"));
  EXPECT_EQ((std::map<std::string, long>{{"ok", 105}}), outcomesOf(sink.events));
  ASSERT_FALSE(sink.events.empty());
  EXPECT_NE(std::string::npos, sink.events.back().detail.find("did not install it, or it changed since"))
      << sink.events.back().detail;
}

TEST_F(InstallerEvents, CertificateOutcomes) {
  publish("data.cab");
  advise(installer.get(), sink);
  for (const auto& [file, code] : std::vector<std::pair<std::wstring, long>>{
           {L"publisher.cer", 0}, {L"missing.cer", 11}, {L"data.cab", 106}}) {
    sink.events.clear();
    auto name = makeBstr(file.c_str());
    EXPECT_EQ(S_OK, installer->InstallCertificate(name.get()));
    const auto outcomes = outcomesOf(sink.events, 3);
    EXPECT_EQ((std::map<std::string, long>{{std::string(file.begin(), file.end()), code}}), outcomes);
  }
}

// A sink that fails every event changes nothing: same result, same files, same list as a
// call without a sink.
TEST_F(InstallerEvents, FailingSinkChangesNothing) {
  sink.failWith = DISP_E_EXCEPTION;
  advise(installer.get(), sink);
  EXPECT_EQ(1, update(installer.get(), installPath + "advised\\", L"data,ok,missing"));
  ComPtr<IInstaller> plain = newInstaller(served.url);
  EXPECT_EQ(1, update(plain.get(), installPath + "plain\\", L"data,ok,missing"));
  EXPECT_EQ(readFile(installPath + "plain\\components.txt"), readFile(installPath + "advised\\components.txt"));
  EXPECT_EQ(entriesOf(installPath + "plain\\"), entriesOf(installPath + "advised\\"));
  EXPECT_EQ(3u, outcomesOf(sink.events).size());
}

// A job started from inside an event is refused with its own message and changes nothing;
// the setting a sink changes is read by the next call, not the running one.
TEST_F(InstallerEvents, CallFromAnEventIsRefused) {
  std::vector<std::pair<HRESULT, std::wstring>> nested;
  sink.onEvent = [&](const Event& event) {
    if (event.id != 2) return;
    int result = 7;
    auto names = makeBstr(L"ok");
    const HRESULT updateResult = installer->UpdateComponents(names.get(), &result);
    nested.emplace_back(updateResult, takeThreadErrorInfo().description);
    EXPECT_EQ(0, result);
    auto file = makeBstr(L"publisher.cer");
    const HRESULT certificateResult = installer->InstallCertificate(file.get());
    nested.emplace_back(certificateResult, takeThreadErrorInfo().description);
  };
  advise(installer.get(), sink);
  EXPECT_EQ(1, update(installer.get(), installPath, L"data"));
  ASSERT_EQ(2u, nested.size());
  for (const auto& [hr, message] : nested) {
    EXPECT_EQ(DISP_E_EXCEPTION, hr);
    EXPECT_EQ(L"A call is already in progress", message);
  }
  EXPECT_EQ("data,,data.txt,2.0.0.0,2,0\n", readFile(listPath)) << "ok was not installed by the nested call";
}

// The sink unadvises and drops the last outside reference during the first event: the
// call runs to its end on the object it started on, which goes away afterwards.
TEST_F(InstallerEvents, SinkThatLetsGoDuringAnEvent) {
  advise(installer.get(), sink);
  IInstaller* raw = installer.get();
  sink.onEvent = [&](const Event&) {
    if (cookie == 0) return;
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    cookie = 0;
    point.reset();
    installer.reset();
  };
  auto install = makeBstr(widen(installPath).c_str());
  raw->put_InstallPath(install.get());
  auto names = makeBstr(L"data,ok");
  int result = 0;
  EXPECT_EQ(S_OK, raw->UpdateComponents(names.get(), &result));
  EXPECT_EQ(1, result);
  EXPECT_EQ(1u, sink.events.size()) << "no event after the unadvise";
  EXPECT_EQ(1u, sink.references) << "the object released the sink";
  EXPECT_EQ("data,,data.txt,2.0.0.0,2,0\nok,,registers_ok.dll,1.0.0.1,1,0\n", readFile(listPath));
}

}  // namespace
}  // namespace corvane::testing
