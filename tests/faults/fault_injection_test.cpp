// UpdateComponents and InstallCertificate through the Installer object against every fault
// the reference component server can inject, in every place it applies. Whatever the
// fault, the installation must stay consistent: installed files and list lines survive
// unless the catalog as read retires them or their replacement arrived whole, every line
// has its file, no temporary file is left, and the method answers S_OK with the result the choice gives.
#include <gtest/gtest.h>

#include <windows.h>

#include <cctype>
#include <cwchar>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/text.h"
#include "tests/driver/driver_fixture.h"
#include "tests/driver/publisher_store.h"
#include "shell/installer.h"
#include "base/unique_resource.h"
#include "shell/com_owners.h"
#include "support/private_server.h"
#include "support/served_files.h"
#include "support/wine_support.h"
#include "support/server_client.h"

namespace corvane::testing {
namespace {

// Where a fault is put on the wire.
enum class Place {
  Handshake,  // the auth path: only the session POST
  Catalog,    // the base URL: the catalog and every file under it
  Package,    // the package (or certificate) name: that one file request
  WholeRun,   // a server of the test's own started with the fault for every request
};

struct FaultCase {
  const char* fault;
  Place place;
  bool catalogUsed;  // the catalog comes through whole, and the server passes the
                     // handshake made before the first deletion: it retires and chooses
  bool fileArrives;  // the handshake passes and the package or certificate arrives whole
};

// Handshake replies that still prove the key (case and spacing of the signature digits,
// a reply in pieces) pass; any other damage to the reply, and any status but 2xx, fails
// the handshake, and with it the catalog of a call that would delete. A body without
// Content-Length that ends at the close is whole; a body cut short or stalled, an error
// status, an HTML page, a redirect off the server or round in circles, or a length past
// the limit is not a catalog and not a package. A redirect within the server is followed.
const FaultCase kFaultCases[] = {
    {"wrong-key", Place::Handshake, false, false},
    {"sign-hex-text", Place::Handshake, false, false},
    {"sha256", Place::Handshake, false, false},
    {"lowercase-echo", Place::Handshake, false, false},
    {"lowercase-signature", Place::Handshake, true, true},
    {"spaced-signature", Place::Handshake, true, true},
    {"truncated-echo", Place::Handshake, false, false},
    {"extended-echo", Place::Handshake, false, false},
    {"no-dash", Place::Handshake, false, false},
    {"no-slash", Place::Handshake, false, false},
    {"no-equals", Place::Handshake, false, false},
    {"empty-echo", Place::Handshake, false, false},
    {"empty-signature", Place::Handshake, false, false},
    {"padded-reply", Place::Handshake, false, false},
    {"auth-error", Place::Handshake, false, false},
    {"auth-error-signed", Place::Handshake, false, false},
    {"auth-redirect", Place::Handshake, false, false},
    {"slow-pieces", Place::Handshake, true, true},
    // A byte at a time, each well within the receive time-out: ended by the deadline.
    {"trickle", Place::Handshake, false, false},
    {"file-error", Place::Catalog, false, false},
    {"not-found", Place::Catalog, false, false},
    {"multiple-choices", Place::Catalog, false, false},
    {"not-modified", Place::Catalog, false, false},
    {"html-page", Place::Catalog, false, false},
    {"short-body", Place::Catalog, false, false},
    {"no-content-length", Place::Catalog, true, true},
    {"drop-mid-body", Place::Catalog, false, false},
    {"slow-pieces", Place::Catalog, true, true},
    {"redirect-away", Place::Catalog, false, false},
    {"redirect-same", Place::Catalog, true, true},
    {"redirect-loop", Place::Catalog, false, false},
    {"stall-mid-body", Place::Catalog, false, false},
    {"trickle", Place::Catalog, false, false},
    {"huge-length", Place::Catalog, false, false},
    {"long-length", Place::Catalog, false, false},
    {"file-error", Place::Package, true, false},
    {"not-found", Place::Package, true, false},
    {"multiple-choices", Place::Package, true, false},
    {"not-modified", Place::Package, true, false},
    {"html-page", Place::Package, true, false},
    {"short-body", Place::Package, true, false},
    {"no-content-length", Place::Package, true, true},
    {"drop-mid-body", Place::Package, true, false},
    {"slow-pieces", Place::Package, true, true},
    {"redirect-away", Place::Package, true, false},
    {"redirect-same", Place::Package, true, true},
    {"redirect-loop", Place::Package, true, false},
    {"stall-mid-body", Place::Package, true, false},
    // Far below 1 KiB per speed window: abandoned like a stall.
    {"trickle", Place::Package, true, false},
    {"huge-length", Place::Package, true, false},
    // The whole file arrives, but short of its announced length: a failed download.
    {"long-length", Place::Package, true, false},
    // The server ends between the handshake and the file request.
    {"die-after-handshake", Place::WholeRun, true, false},
    // The server ends half way through the catalog (the first request of the run).
    {"die-mid-body", Place::WholeRun, false, false},
    // The server ends half way through the package.
    {"die-mid-body", Place::Package, true, false},
};

bool needsOwnServer(const FaultCase& c) { return std::string(c.fault).rfind("die-", 0) == 0; }
// Before requests had time-outs, a stalled server held the call for as long as it liked;
// before they had deadlines, so did a trickling one.
bool mayHang(const FaultCase& c) { return std::string(c.fault) == "stall-mid-body" || std::string(c.fault) == "trickle"; }
// A redirect loop is asked again on every hop: the first request and five followed.
size_t requestsPerFile(const FaultCase& c) { return std::string(c.fault) == "redirect-loop" ? 6 : 1; }

constexpr DWORD kWatchdogMs = 40000;

// Runs faulted_call_runner with the arguments and returns its exit status, or nullopt
// when it outlived the watchdog (it is ended then).
std::optional<DWORD> runInChild(const std::string& arguments) {
  std::string command = "\"" + windowsPathOf(FAULTED_CALL_RUNNER) + "\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start " << command;
    return std::nullopt;
  }
  UniqueHandle child(process.hProcess);
  UniqueHandle thread(process.hThread);
  const DWORD started = ::GetTickCount();
  if (::WaitForSingleObject(child.get(), kWatchdogMs) != WAIT_OBJECT_0) {
    ::TerminateProcess(child.get(), 99);
    ::WaitForSingleObject(child.get(), 5000);
    return std::nullopt;
  }
  std::cout << "[ child    ] " << arguments.substr(0, arguments.find(' ')) << " took " << ::GetTickCount() - started
            << " ms, request time-out " << TEST_TRANSFER_TIMEOUT_SECONDS << " s" << std::endl;
  DWORD status = 0;
  ::GetExitCodeProcess(child.get(), &status);
  return status;
}

const char* placeName(Place place) {
  switch (place) {
    case Place::Handshake: return "Handshake";
    case Place::Catalog: return "Catalog";
    case Place::Package: return "Package";
    case Place::WholeRun: return "WholeRun";
  }
  return "?";
}

void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.fault << " in " << placeName(c.place) << (c.catalogUsed ? ", catalog used" : ", catalog unused")
       << (c.fileArrives ? ", file arrives" : ", file lost");
}

std::string caseName(const FaultCase& c) {
  std::string name;
  bool upper = true;
  for (const char* p = c.fault; *p; ++p) {
    if (*p == '-') {
      upper = true;
      continue;
    }
    name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(*p))) : *p;
    upper = false;
  }
  return name + "In" + placeName(c.place);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) result.push_back(line);
  }
  return result;
}

// A list line without its state field, which each call rewrites from its own marking.
std::string withoutState(const std::string& line) { return line.substr(0, line.find_last_of(',')); }
std::string field(const std::string& line, int index) {
  std::string rest = line;
  for (int i = 0; i < index; ++i) rest = rest.substr(rest.find(',') + 1);
  return rest.substr(0, rest.find(','));
}

// The fault names the reference server knows, read from its table.
std::set<std::string> serverFaultNames() {
  std::set<std::string> names;
  bool inTable = false;
  for (const std::string& line : lines(readFile(windowsPathOf(CORVANE_SERVER_SCRIPT)))) {
    if (line.rfind("FAULTS = {", 0) == 0) {
      inTable = true;
    } else if (inTable && line.rfind("}", 0) == 0) {
      break;
    } else if (inTable && line.find("\":") != std::string::npos) {
      const auto open = line.find('"');
      names.insert(line.substr(open + 1, line.find('"', open + 1) - open - 1));
    }
  }
  return names;
}

TEST(FaultTable, CoversEveryFaultOfTheServerInEachPlaceItApplies) {
  const std::set<std::string> known = serverFaultNames();
  ASSERT_GE(known.size(), 20u) << "could not read the server's fault table";
  std::set<std::string> covered;
  for (const FaultCase& c : kFaultCases) {
    EXPECT_EQ(1u, known.count(c.fault)) << c.fault << " is not a fault of the server";
    covered.insert(c.fault);
  }
  for (const std::string& name : known) EXPECT_EQ(1u, covered.count(name)) << name << " is never injected";
  // A file fault is tried on the catalog and on the package alone.
  for (const char* fileFault : {"file-error", "not-found", "html-page", "short-body", "no-content-length",
                                "drop-mid-body", "slow-pieces", "redirect-away", "redirect-same", "redirect-loop",
                                "stall-mid-body", "trickle", "huge-length", "long-length"}) {
    int places = 0;
    for (const FaultCase& c : kFaultCases) {
      if (std::string(c.fault) == fileFault && (c.place == Place::Catalog || c.place == Place::Package)) ++places;
    }
    EXPECT_EQ(2, places) << fileFault;
  }
}

void removeFilesIn(const std::string& folder) {
  WIN32_FIND_DATAA entry;
  UniqueFindHandle search(::FindFirstFileA((folder + "*").c_str(), &entry));
  if (!search) return;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ::DeleteFileA((folder + entry.cFileName).c_str());
  } while (::FindNextFileA(search.get(), &entry));
}

std::string ownArtefact(const std::string& name) { return windowsPathOf(FAULT_ARTEFACT_DIR "/" + name); }

// One case: a served folder, and the URLs and names that put the fault in its place on
// the shared server or on a private one.
class FaultInjection : public ::testing::TestWithParam<FaultCase>, public testing::JobTest {
 protected:
  FaultInjection() : JobTest(folderName()) {}

  static std::string folderName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string suite = info->test_suite_name();
    return (suite.find("Certificate") != std::string::npos ? "cert-" : "update-") + caseName(GetParam());
  }

  void SetUp() override {
    ASSERT_TRUE(testing::componentServerAvailable()) << "no component server: run the tests through ctest";
    ASSERT_EQ(S_OK, Installer::createInstance(IID_IInstaller, installer.putVoid()));
    // Wine reuses process ids, so an earlier run may have left this folder installed.
    removeFilesIn(installPath);
    const std::string root = testing::componentServerUrl();
    folderPath = served.url.substr(root.size());  // "<folder>/"
  }

  // Starts the private server where the case needs one; from then on the faulted call
  // goes to it. The shared server's URLs stay for the fault-free setup.
  void useServerOfTheCase() {
    const FaultCase& c = GetParam();
    if (!needsOwnServer(c)) {
      serverRoot = testing::componentServerUrl();
      return;
    }
    own = std::make_unique<PrivateServer>(served.windowsPath, c.place == Place::WholeRun ? c.fault : "");
    ASSERT_TRUE(own->running()) << "private component server did not start";
    serverRoot = own->url();
    folderPath.clear();  // its root is the served folder itself
  }

  std::string faultPrefix(Place place) const {
    const FaultCase& c = GetParam();
    return c.place == place ? std::string("_fault/") + c.fault + "/" : std::string();
  }
  std::string baseUrl() const { return serverRoot + faultPrefix(Place::Catalog) + folderPath; }
  std::string authUrlPath() const { return "/" + faultPrefix(Place::Handshake) + folderPath + "auth"; }
  // A name that resolves against the base URL to the file, with the fault when it goes there.
  std::string fileName(const std::string& name) const {
    const std::string prefix = faultPrefix(Place::Package);
    return prefix.empty() ? name : "/" + prefix + folderPath + name;
  }

  void configure(const std::string& base, const std::string& auth) {
    ASSERT_EQ(S_OK, installer->put_BaseURL(makeBstr(widen(base).c_str()).get()));
    ASSERT_EQ(S_OK, installer->put_AuthPath(makeBstr(widen(auth).c_str()).get()));
    ASSERT_EQ(S_OK, installer->put_InstallPath(makeBstr(widen(installPath).c_str()).get()));
  }

  // The object still answers and keeps its settings: the call left the host in one piece.
  void expectObjectStillAnswers(const std::string& base) {
    UniqueBstr value;
    ASSERT_EQ(S_OK, installer->get_BaseURL(value.put()));
    EXPECT_EQ(widen(base), std::wstring(value.get()));
  }

  // Requests with this case's fault that reached the shared server.
  size_t faultedRequests(const std::string& method) const {
    const std::string needle = std::string("/_fault/") + GetParam().fault + "/" + folderPath;
    size_t count = 0;
    for (const std::string& line : testing::serverRequestsContaining(needle)) count += line.rfind(method, 0) == 0;
    return count;
  }

  // The faulted calls, in this process or, for a case that may hang, in a child.
  HRESULT updateComponents(const wchar_t* names, int* chosen) {
    if (!mayHang(GetParam())) return installer->UpdateComponents(makeBstr(names).get(), chosen);
    const std::optional<DWORD> status = runInChild("update " + baseUrl() + " " + authUrlPath() + " " + installPath +
                                                   " " + std::string(names, names + std::wcslen(names)));
    if (!status || *status < 10) return E_FAIL;
    *chosen = static_cast<int>(*status) - 10;
    return S_OK;
  }
  HRESULT installCertificate(const std::string& file) {
    if (!mayHang(GetParam())) return installer->InstallCertificate(makeBstr(widen(file).c_str()).get());
    const std::optional<DWORD> status = runInChild("certificate " + baseUrl() + " " + authUrlPath() + " " + file);
    return status == DWORD{10} ? S_OK : E_FAIL;
  }

  ComPtr<IInstaller> installer;
  std::string folderPath;
  std::string serverRoot;
  std::unique_ptr<PrivateServer> own;
};

// Files whose length changes in the update (shorter, longer, to nothing, other content at
// the same length): <stem>-<edition>.cab holds editions/<edition>/<stem>.txt.
struct LengthChange {
  const char* stem;
  const char* first;
  const char* second;
};
const LengthChange kLengthChanges[] = {
    {"shrinks", "long", "short"}, {"grows", "short", "long"}, {"empties", "long", "empty"}, {"changes", "long", "same"}};

std::string editionCabinet(const std::string& stem, const std::string& edition) { return stem + "-" + edition + ".cab"; }
std::string editionBytes(const std::string& stem, const std::string& edition) {
  return readFile(builtArtefact("editions/" + edition + "/" + stem + ".txt"));
}

// Installed: "ok" (a library that registers), "data" at 2.0.0.0, "other", and the files
// whose length changes at 1.0.0.0. The faulted call's catalog has "ok" unchanged, "data"
// at 2.0.0.10 (so the installed one is stale), a new "extra", the changing files at
// 1.0.0.1, and no longer "other" (so its file is the one the call deletes, after the
// server passes a handshake); it names all but "ok".
class UpdateUnderFault : public FaultInjection {};

TEST_P(UpdateUnderFault, KeepsTheInstallationConsistent) {
  const FaultCase& c = GetParam();
  for (const char* cabinet : {"ok.cab", "data.cab", "data2.cab"}) publish(cabinet);
  served.writeFile("extra.cab", readFile(ownArtefact("extra.cab")));
  std::string firstCatalog =
      "ok,ok.cab,registers_ok.dll,1.0.0.1,1,0\ndata,data.cab,data.txt,2.0.0.0,2,0\n"
      "other,data.cab,other.txt,1.0.0.0,2,0\n";
  std::wstring firstNames = L"ok,data,other", faultedNames = L"data,extra";
  for (const LengthChange& change : kLengthChanges) {
    publish(editionCabinet(change.stem, change.first));
    publish(editionCabinet(change.stem, change.second));
    firstCatalog += std::string(change.stem) + "," + editionCabinet(change.stem, change.first) + "," + change.stem +
                    ".txt,1.0.0.0,2,0\n";
    firstNames += L"," + widen(change.stem);
    faultedNames += L"," + widen(change.stem);
  }
  publishCatalog(firstCatalog);

  // Fault-free first install on the shared server.
  configure(served.url, "/" + folderPath + "auth");
  int chosen = -1;
  ASSERT_EQ(S_OK, installer->UpdateComponents(makeBstr(firstNames.c_str()).get(), &chosen));
  ASSERT_EQ(1, chosen);
  const std::vector<std::string> before = lines(readFile(listPath));
  ASSERT_EQ(3u + std::size(kLengthChanges), before.size()) << readFile(listPath);
  const std::string okBytes = readFile(installPath + "registers_ok.dll");
  const std::string dataBytes = readFile(installPath + "data.txt");
  ASSERT_FALSE(okBytes.empty());
  ASSERT_EQ("component data, first edition\n", dataBytes);

  ASSERT_NO_FATAL_FAILURE(useServerOfTheCase());
  std::string faultedCatalog = "ok,ok.cab,registers_ok.dll,1.0.0.1,1,0\n"
                               "data," + fileName("data2.cab") + ",data.txt,2.0.0.10,2,0\n"
                               "extra," + fileName("extra.cab") + ",extra.txt,1.0.0.0,2,0\n";
  for (const LengthChange& change : kLengthChanges) {
    faultedCatalog += std::string(change.stem) + "," + fileName(editionCabinet(change.stem, change.second)) + "," +
                      change.stem + ".txt,1.0.0.1,2,0\n";
  }
  publishCatalog(faultedCatalog);
  const std::vector<std::string> temporaryBefore = temporaryFileNames();
  const size_t postsBefore = faultedRequests("POST"), getsBefore = faultedRequests("GET");
  configure(baseUrl(), authUrlPath());

  chosen = -1;
  EXPECT_EQ(S_OK, updateComponents(faultedNames.c_str(), &chosen)) << "the call failed or hung";
  // Something is chosen exactly when the catalog could be used.
  EXPECT_EQ(c.catalogUsed ? 1 : 0, chosen);
  expectObjectStillAnswers(baseUrl());
  EXPECT_EQ(temporaryBefore, temporaryFileNames()) << "a temporary file stayed behind";

  // Lines: every line survives unchanged unless what replaces it arrived whole, or a
  // catalog that could be used retired it; what arrived is appended in the order named.
  // The stale "data" is named, so its file is only ever replaced, never deleted first.
  const bool replaced = c.catalogUsed && c.fileArrives;
  std::vector<std::string> expected;
  for (const std::string& line : before) {
    if (replaced && field(line, 0) != "ok" && field(line, 0) != "other") continue;
    if (c.catalogUsed && field(line, 0) == "other") continue;
    expected.push_back(withoutState(line));
  }
  if (replaced) {
    expected.push_back("data,,data.txt,2.0.0.10,2");
    expected.push_back("extra,,extra.txt,1.0.0.0,2");
    for (const LengthChange& change : kLengthChanges) {
      expected.push_back(std::string(change.stem) + ",," + change.stem + ".txt,1.0.0.1,2");
    }
  }
  std::vector<std::string> after;
  for (const std::string& line : lines(readFile(listPath))) after.push_back(withoutState(line));
  EXPECT_EQ(expected, after) << readFile(listPath);

  // No line without its file; no surviving component lost its file or had it changed.
  for (const std::string& line : after) {
    EXPECT_TRUE(fileExists(installPath + field(line, 2))) << "recorded but missing: " << line;
  }
  EXPECT_TRUE(readFile(installPath + "registers_ok.dll") == okBytes);
  EXPECT_EQ(!c.catalogUsed, fileExists(installPath + "other.txt")) << "retired only by a catalog that could be used";
  if (!replaced) {
    EXPECT_EQ(dataBytes, readFile(installPath + "data.txt"));
  } else {
    EXPECT_EQ("component data, second edition\n", readFile(installPath + "data.txt"));
    EXPECT_EQ("an extra component, first edition\n", readFile(installPath + "extra.txt"));
  }
  // Every changing file holds exactly one edition's bytes, whole: the old one unless its
  // replacement arrived.
  for (const LengthChange& change : kLengthChanges) {
    EXPECT_TRUE(readFile(installPath + change.stem + ".txt") ==
                editionBytes(change.stem, replaced ? change.second : change.first))
        << change.stem;
  }

  // The fault did reach the server where the case put it (the shared server logs it).
  if (!needsOwnServer(c)) {
    if (c.place == Place::Handshake) {
      // One before the deletion, then one for each package when that one passed.
      EXPECT_EQ(c.catalogUsed ? 3u + std::size(kLengthChanges) : 1u, faultedRequests("POST") - postsBefore);
    } else if (c.place == Place::Catalog) {
      EXPECT_GE(faultedRequests("GET") - getsBefore, 1u);
    } else {
      EXPECT_EQ((2 + std::size(kLengthChanges)) * requestsPerFile(c), faultedRequests("GET") - getsBefore);
    }
  }
}

class CertificateUnderFault : public FaultInjection {};

TEST_P(CertificateUnderFault, AddsTheCertificateOnlyWhenItArrivedWhole) {
  const FaultCase& c = GetParam();
  publish("publisher.cer");
  removePublisherFromStore();
  ASSERT_EQ(0, publisherCopiesInStore());
  ASSERT_NO_FATAL_FAILURE(useServerOfTheCase());
  const std::vector<std::string> temporaryBefore = temporaryFileNames();
  const char* faultedMethod = c.place == Place::Handshake ? "POST" : "GET";
  const size_t faultedBefore = needsOwnServer(c) ? 0 : faultedRequests(faultedMethod);
  configure(baseUrl(), authUrlPath());

  EXPECT_EQ(S_OK, installCertificate(fileName("publisher.cer"))) << "the call failed or hung";
  expectObjectStillAnswers(baseUrl());
  EXPECT_EQ(temporaryBefore, temporaryFileNames()) << "a temporary file stayed behind";
  EXPECT_EQ(c.fileArrives ? 1 : 0, publisherCopiesInStore());
  if (!needsOwnServer(c)) {
    EXPECT_EQ(c.place == Place::Handshake ? 1u : requestsPerFile(c), faultedRequests(faultedMethod) - faultedBefore);
  }
  removePublisherFromStore();
}

std::string paramName(const ::testing::TestParamInfo<FaultCase>& info) { return caseName(info.param); }

INSTANTIATE_TEST_SUITE_P(EveryFault, UpdateUnderFault, ::testing::ValuesIn(kFaultCases), paramName);
INSTANTIATE_TEST_SUITE_P(EveryFault, CertificateUnderFault, ::testing::ValuesIn(kFaultCases), paramName);

}  // namespace
}  // namespace corvane::testing
