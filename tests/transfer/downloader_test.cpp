// The authenticated download against the reference component server on 127.0.0.1,
// with Wine's WinINet, temporary files and cache.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "transfer/downloader.h"
#include "transfer/http_request.h"
#include "support/private_server.h"
#include "base/unique_resource.h"
#include "transfer/internet_handle.h"
#include "support/server_client.h"
#include "support/files.h"
#include "support/served_files.h"
#include "support/text.h"

namespace corvane::testing {
namespace {

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

std::string directoryOf(const std::string& path) { return path.substr(0, path.find_last_of('\\') + 1); }
std::string nameOf(const std::string& path) { return path.substr(path.find_last_of('\\') + 1); }

// The last path component of a served directory, which names it in the server's log.
std::string logName(const ServedDirectory& directory) {
  const std::string url = directory.url.substr(0, directory.url.size() - 1);
  return url.substr(url.find_last_of('/') + 1);
}

std::string serverAuthority() {
  const std::string url = testing::componentServerUrl();  // http://127.0.0.1:PORT/
  return url.substr(7, url.size() - 8);
}

// Each test gets its own served folder and an auth path inside it, so every request
// the download makes shows in the server's log under that folder's name.
class DownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::componentServerAvailable()) << "no component server: run the tests through ctest";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    served_ = makeServedDirectory(std::string("dl-") + info->name());
    authPath_ = "/" + logName(served_) + "/auth";
  }

  std::string authPath(const std::string& faults = "") const {
    return faults.empty() ? authPath_ : "/_fault/" + faults + authPath_;
  }
  std::vector<std::string> requests(bool detailed = false) const {
    return serverRequestsContaining(logName(served_), detailed);
  }
  std::vector<std::string> requestsStartingWith(const std::string& start) const {
    std::vector<std::string> matching;
    for (const auto& line : requests()) {
      if (line.rfind(start, 0) == 0) matching.push_back(line);
    }
    return matching;
  }

  // The temporary file of a download that failed before its body: present and empty.
  static void expectEmptyTemporaryFile(const Downloader& downloader) {
    const auto path = downloader.localFile();
    ASSERT_TRUE(path.has_value());
    ASSERT_FALSE(path->empty());
    EXPECT_TRUE(fileExists(*path)) << *path;
    EXPECT_EQ(readFile(*path).size(), 0u) << *path;
  }

  ServedDirectory served_;
  std::string authPath_;
};

TEST_F(DownloaderTest, FetchesTheFileAfterAProperHandshake) {
  const std::string content = randomBytes(100000, 1);
  served_.writeFile("payload.bin", content);
  Downloader downloader(served_.url.c_str(), authPath_.c_str());
  EXPECT_FALSE(downloader.localFile().has_value());

  ASSERT_EQ(downloader.download("payload.bin"), DownloadResult::Success);
  const auto path = downloader.localFile();
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(lowercase(directoryOf(*path)), lowercase(temporaryDirectory()));
  EXPECT_EQ(lowercase(nameOf(*path)).rfind("pay", 0), 0u) << *path;
  EXPECT_EQ(lowercase(path->substr(path->size() - 4)), ".tmp");
  EXPECT_TRUE(readFile(*path) == content);

  // One POST to the auth path, then one GET of the file, in that order.
  const auto lines = requests(true);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("POST " + authPath_ + "\t", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind("GET /" + logName(served_) + "/payload.bin\t", 0), 0u) << lines[1];
  for (const auto& line : lines) EXPECT_NE(line.find("user-agent=Corvane Installer\t"), std::string::npos) << line;
  EXPECT_NE(lines[0].find("content-type=application/x-www-form-urlencoded"), std::string::npos);
  const auto body = lines[0].substr(lines[0].find("body=") + 5);
  EXPECT_EQ(body.size(), 2058u);
  EXPECT_EQ(body.rfind("SessionID=", 0), 0u);
  EXPECT_EQ(body.find_first_not_of("0123456789ABCDEF", 10), std::string::npos);
  // The file request asks every cache on the way to stand aside.
  EXPECT_NE(lines[1].find("pragma=no-cache"), std::string::npos) << lines[1];
}

TEST_F(DownloaderTest, TwoDownloadsOnOneObjectAreTwoCompleteRuns) {
  served_.writeFile("first.bin", "first body");
  served_.writeFile("second.bin", "second body");
  Downloader downloader(served_.url.c_str(), authPath_.c_str());
  ASSERT_EQ(downloader.download("first.bin"), DownloadResult::Success);
  const std::string first = downloader.localFile().value();
  ASSERT_EQ(downloader.download("second.bin"), DownloadResult::Success);
  const std::string second = downloader.localFile().value();

  EXPECT_NE(lowercase(first), lowercase(second));
  EXPECT_EQ(readFile(first), "first body");
  EXPECT_EQ(readFile(second), "second body");
  // A new challenge for each.
  const auto lines = requests(true);
  std::vector<std::string> sessions;
  for (const auto& line : lines) {
    if (line.rfind("POST", 0) == 0) sessions.push_back(line.substr(line.find("body=")));
  }
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_NE(sessions[0], sessions[1]);
}

TEST_F(DownloaderTest, CopiesItsSettingsAtConstruction) {
  served_.writeFile("copied.bin", "copied");
  std::string base = served_.url;
  std::string auth = authPath_;
  Downloader downloader(base.c_str(), auth.c_str());
  std::fill(base.begin(), base.end(), 'x');
  std::fill(auth.begin(), auth.end(), 'x');
  ASSERT_EQ(downloader.download("copied.bin"), DownloadResult::Success);
  EXPECT_EQ(readFile(downloader.localFile().value()), "copied");
}

TEST_F(DownloaderTest, MalformedRepliesEndBeforeTheFileRequest) {
  served_.writeFile("package.cab", "never fetched");
  for (const char* fault : {"no-dash", "no-slash", "no-equals", "empty-echo", "empty-signature", "padded-reply"}) {
    Downloader downloader(served_.url.c_str(), authPath(fault).c_str());
    EXPECT_EQ(downloader.download("package.cab"), DownloadResult::MalformedReply) << fault;
    expectEmptyTemporaryFile(downloader);
  }
  EXPECT_EQ(requestsStartingWith("GET").size(), 0u);
  EXPECT_EQ(requestsStartingWith("POST").size(), 6u);
}

// Only a 2xx answer is the handshake script's: a correctly signed body that comes with an
// error status, or with a redirect (not followed, not even to the same server), fails.
TEST_F(DownloaderTest, HandshakeAnswersOtherThan2xxFailWhateverTheirBody) {
  served_.writeFile("package.cab", "never fetched");
  for (const char* fault : {"auth-error", "auth-error-signed", "auth-redirect"}) {
    Downloader downloader(served_.url.c_str(), authPath(fault).c_str());
    EXPECT_EQ(downloader.download("package.cab"), DownloadResult::HandshakeFailed) << fault;
    expectEmptyTemporaryFile(downloader);
    EXPECT_EQ(downloader.authenticateServer(), DownloadResult::HandshakeFailed) << fault;
  }
  EXPECT_EQ(requestsStartingWith("GET").size(), 0u);
  EXPECT_EQ(requestsStartingWith("POST").size(), 6u) << "a redirected POST was sent again";
}

TEST_F(DownloaderTest, TheHandshakeAloneFetchesNothingAndKeepsNoFile) {
  Downloader downloader(served_.url.c_str(), authPath_.c_str());
  EXPECT_EQ(downloader.authenticateServer(), DownloadResult::Success);
  EXPECT_FALSE(downloader.localFile().has_value());
  Downloader refused(served_.url.c_str(), authPath("wrong-key").c_str());
  EXPECT_EQ(refused.authenticateServer(), DownloadResult::ServerNotAuthenticated);
  Downloader unusable("ftp://127.0.0.1/", authPath_.c_str());
  EXPECT_EQ(unusable.authenticateServer(), DownloadResult::UnsupportedScheme);
  EXPECT_EQ(requestsStartingWith("POST").size(), 2u);
  EXPECT_EQ(requestsStartingWith("GET").size(), 0u);
}

// Redirects are followed by the downloader, within the authenticated server only and for
// a few hops; anything else is the status result, and the file is never fetched elsewhere.
TEST_F(DownloaderTest, RedirectsAreFollowedOnlyWithinTheServer) {
  served_.writeFile("package.cab", "the package");
  const struct {
    const char* fault;
    DownloadResult expected;
    size_t faultedRequests;
  } cases[] = {{"redirect-same", DownloadResult::Success, 1},
               {"redirect-away", DownloadResult::HttpStatusFailed, 1},
               {"redirect-loop", DownloadResult::HttpStatusFailed, 6}};
  for (const auto& item : cases) {
    const std::string faulted =
        std::string("/_fault/") + item.fault + "/" + served_.url.substr(testing::componentServerUrl().size());
    Downloader downloader(served_.faultUrl(item.fault).c_str(), authPath_.c_str());
    EXPECT_EQ(downloader.download("package.cab"), item.expected) << item.fault;
    const std::string kept = readFile(downloader.localFile().value());
    EXPECT_EQ(kept, item.expected == DownloadResult::Success ? "the package" : "") << item.fault;
    EXPECT_EQ(serverRequestsContaining(faulted).size(), item.faultedRequests) << item.fault;
  }
}

// The limit is checked against the announced length, read whole as a 64-bit number,
// before anything is fetched; a body without a length is cut off at the limit.
TEST_F(DownloaderTest, BodiesPastTheLimitAreNotFetched) {
  const std::string content = randomBytes(40000, 9);
  served_.writeFile("package.cab", content);
  const uint64_t size = content.size();
  const struct {
    const char* fault;
    uint64_t limit;
    DownloadResult expected;
  } cases[] = {
      {"", size, DownloadResult::Success},
      {"", size - 1, DownloadResult::TooLarge},
      {"huge-length", kMaxPackageBytes, DownloadResult::TooLarge},  // 4 GiB + size: never read as size
      {"no-content-length", size, DownloadResult::Success},
      {"no-content-length", size - 1, DownloadResult::BodyTooLarge},
      {"no-content-length", 1000, DownloadResult::BodyTooLarge},
  };
  for (const auto& item : cases) {
    const std::string base = *item.fault ? served_.faultUrl(item.fault) : served_.url;
    Downloader downloader(base.c_str(), authPath_.c_str());
    EXPECT_EQ(downloader.download("package.cab", item.limit), item.expected) << item.fault << " " << item.limit;
    const std::string kept = readFile(downloader.localFile().value());
    if (item.expected == DownloadResult::Success) {
      EXPECT_TRUE(kept == content) << item.fault;
    } else {
      EXPECT_LE(kept.size(), item.limit) << item.fault;
      EXPECT_TRUE(kept == content.substr(0, kept.size())) << item.fault;
    }
  }
}

// The body is hashed as it streams; only exactly the vouched-for content succeeds.
TEST_F(DownloaderTest, ExpectedContentIsCheckedAsTheBodyStreams) {
  const std::string content = randomBytes(70000, 11);
  served_.writeFile("package.cab", content);
  std::string altered = content;
  altered[50000] ^= 1;
  const struct {
    const char* name;
    const char* fault;
    ExpectedContent expected;
    DownloadResult result;
  } cases[] = {
      {"the signed content", "", {content.size(), sha256Of(content)}, DownloadResult::Success},
      {"the signed content, no length", "no-content-length", {content.size(), sha256Of(content)},
       DownloadResult::Success},
      {"one bit other", "", {content.size(), sha256Of(altered)}, DownloadResult::NotAsSigned},
      {"announced longer than signed", "", {content.size() - 1, sha256Of(content)}, DownloadResult::NotAsSigned},
      {"runs past the signed size", "no-content-length", {content.size() - 1, sha256Of(content)},
       DownloadResult::NotAsSigned},
      {"ends before the signed size", "no-content-length", {content.size() + 1, sha256Of(content + "x")},
       DownloadResult::NotAsSigned},
  };
  for (const auto& item : cases) {
    const std::string base = *item.fault ? served_.faultUrl(item.fault) : served_.url;
    Downloader downloader(base.c_str(), authPath_.c_str());
    EXPECT_EQ(item.result, downloader.download("package.cab", kMaxPackageBytes, &item.expected)) << item.name;
  }
}

TEST_F(DownloaderTest, RepliesThatProveNothingAreRefused) {
  served_.writeFile("package.cab", "never fetched");
  for (const char* fault : {"wrong-key", "sha256", "sign-hex-text", "lowercase-echo", "truncated-echo",
                            "extended-echo"}) {
    Downloader downloader(served_.url.c_str(), authPath(fault).c_str());
    EXPECT_EQ(downloader.download("package.cab"), DownloadResult::ServerNotAuthenticated) << fault;
    expectEmptyTemporaryFile(downloader);
  }
  EXPECT_EQ(requestsStartingWith("GET").size(), 0u);
}

TEST_F(DownloaderTest, AcceptsEveryValidReplyForm) {
  const std::string content = randomBytes(5000, 2);
  served_.writeFile("package.cab", content);
  // slow-pieces splits the reply over several reads; the handshake must still pass.
  for (const char* fault : {"lowercase-signature", "spaced-signature", "slow-pieces"}) {
    Downloader downloader(served_.url.c_str(), authPath(fault).c_str());
    EXPECT_EQ(downloader.download("package.cab"), DownloadResult::Success) << fault;
    EXPECT_TRUE(readFile(downloader.localFile().value()) == content) << fault;
  }
}

TEST_F(DownloaderTest, BodiesWithoutLengthOrSentSlowlyArriveWhole) {
  const std::string content = randomBytes(70000, 3);
  served_.writeFile("package.cab", content);
  for (const char* fault : {"no-content-length", "slow-pieces", "no-content-length,slow-pieces"}) {
    Downloader downloader(served_.faultUrl(fault).c_str(), authPath_.c_str());
    EXPECT_EQ(downloader.download("package.cab"), DownloadResult::Success) << fault;
    EXPECT_TRUE(readFile(downloader.localFile().value()) == content) << fault;
  }
}

TEST_F(DownloaderTest, ABodyShortOfItsLengthFailsAndKeepsOnlyWhatArrived) {
  const std::string content = randomBytes(200000, 4);
  served_.writeFile("package.cab", content);
  for (const char* fault : {"short-body", "drop-mid-body", "long-length"}) {
    Downloader downloader(served_.faultUrl(fault).c_str(), authPath_.c_str());
    const DownloadResult result = downloader.download("package.cab");
    // A reset that overtakes the response headers fails the request itself; either way
    // the download must fail.
    if (std::string(fault) == "drop-mid-body" && result == DownloadResult::OpenUrlFailed) continue;
    EXPECT_EQ(result, DownloadResult::ReadFailed) << fault;
    const std::string kept = readFile(downloader.localFile().value());
    // Never padded to the announced length: what is there is a true prefix of the body,
    // the whole body when only the announced length was wrong.
    EXPECT_LE(kept.size(), std::string(fault) == "long-length" ? content.size() : content.size() / 2) << fault;
    EXPECT_TRUE(kept == content.substr(0, kept.size())) << fault;
  }
  // One byte short is short: the body of two announced bytes stops after the first.
  served_.writeFile("two.cab", "ab");
  Downloader downloader(served_.faultUrl("short-body").c_str(), authPath_.c_str());
  EXPECT_EQ(downloader.download("two.cab"), DownloadResult::ReadFailed);
  EXPECT_EQ(readFile(downloader.localFile().value()), "a");
}

TEST_F(DownloaderTest, HttpErrorsAndMissingFilesFailWithTheStatusResult) {
  served_.writeFile("package.cab", "present");
  struct Case {
    std::string baseUrl;
    const char* name;
  } cases[] = {{served_.faultUrl("not-found"), "package.cab"},
               {served_.faultUrl("file-error"), "package.cab"},
               {served_.faultUrl("multiple-choices"), "package.cab"},
               {served_.faultUrl("not-modified"), "package.cab"},
               {served_.url, "absent.cab"}};
  for (const auto& item : cases) {
    Downloader downloader(item.baseUrl.c_str(), authPath_.c_str());
    EXPECT_EQ(downloader.download(item.name), DownloadResult::HttpStatusFailed) << item.baseUrl << item.name;
    expectEmptyTemporaryFile(downloader);
  }
  // The server was authenticated each time; only the file was refused.
  EXPECT_EQ(requestsStartingWith("POST").size(), 5u);
  // No 3xx is ever the file request's answer: its redirect handling follows one or refuses
  // it, so the request's own status check never sees one.
  const UniqueInternetHandle session = openInternetSession("Corvane Installer");
  for (const char* fault : {"multiple-choices", "not-modified"}) {
    const std::string url = served_.faultUrl(fault) + "package.cab";
    const GetAnswer answer = getWithinOrigin(session.get(), url, urlOrigin(url.c_str()).value(), RequestDeadline());
    EXPECT_EQ(GetFailure::Refused, answer.failure) << fault;
  }
}

TEST_F(DownloaderTest, AnHtmlPageWithStatus200IsWhatTheServerSent) {
  served_.writeFile("package.cab", "binary");
  Downloader downloader(served_.faultUrl("html-page").c_str(), authPath_.c_str());
  EXPECT_EQ(downloader.download("package.cab"), DownloadResult::Success);
  EXPECT_NE(readFile(downloader.localFile().value()).find("<html>"), std::string::npos);
}

TEST_F(DownloaderTest, BaseUrlsThatCannotBeUsedLeaveTheEmptyTemporaryFile) {
  const std::string ftp = "ftp://" + serverAuthority() + "/files/";
  struct Case {
    const char* baseUrl;
    DownloadResult expected;
  } cases[] = {{ftp.c_str(), DownloadResult::UnsupportedScheme},
               {"file:///C:/windows/", DownloadResult::UnsupportedScheme},
               {"no url at all", DownloadResult::BadBaseUrl},
               {"", DownloadResult::BadBaseUrl},
               {nullptr, DownloadResult::BadBaseUrl}};
  for (const auto& item : cases) {
    Downloader downloader(item.baseUrl, authPath_.c_str());
    EXPECT_EQ(downloader.download("package.cab"), item.expected) << (item.baseUrl ? item.baseUrl : "(null)");
    expectEmptyTemporaryFile(downloader);
    EXPECT_EQ(lowercase(nameOf(downloader.localFile().value())).rfind("pac", 0), 0u);
  }
}

TEST_F(DownloaderTest, FileNamesThatNameAnotherServerAreNeverRequested) {
  served_.writeFile("package.cab", "local");
  const std::string folder = logName(served_);
  const std::string port = serverAuthority().substr(serverAuthority().find(':') + 1);
  const std::string otherPort = std::to_string(std::stoi(port) == 65535 ? 1 : std::stoi(port) + 1);
  const std::string foreign[] = {
      "http://localhost:" + port + "/" + folder + "/package.cab",       // another host name
      "//localhost:" + port + "/" + folder + "/package.cab",            // scheme-relative
      "http://127.0.0.1:" + otherPort + "/" + folder + "/package.cab",  // another port
      "https://127.0.0.1:" + port + "/" + folder + "/package.cab",      // another scheme
      "ftp://127.0.0.1:" + port + "/" + folder + "/package.cab",
  };
  for (const auto& name : foreign) {
    Downloader downloader(served_.url.c_str(), authPath_.c_str());
    EXPECT_EQ(downloader.download(name.c_str()), DownloadResult::ForeignFileUrl) << name;
    expectEmptyTemporaryFile(downloader);
  }
  // Not even the handshake was made.
  EXPECT_EQ(requests().size(), 0u);

  // The same server spelt out in full is not foreign.
  Downloader downloader(served_.url.c_str(), authPath_.c_str());
  const std::string same = "HTTP://127.0.0.1:" + port + "/" + folder + "/package.cab";
  EXPECT_EQ(downloader.download(same.c_str()), DownloadResult::Success);
  EXPECT_EQ(readFile(downloader.localFile().value()), "local");
}

TEST_F(DownloaderTest, RelativeNamesResolveAgainstTheBaseUrl) {
  const std::string folder = logName(served_);
  ::CreateDirectoryA((served_.windowsPath + "sub").c_str(), nullptr);
  served_.writeFile("sub\\inner.cab", "inner");
  served_.writeFile("top.cab", "top");
  {
    Downloader downloader(served_.url.c_str(), authPath_.c_str());
    EXPECT_EQ(downloader.download("sub/inner.cab"), DownloadResult::Success);
    EXPECT_EQ(readFile(downloader.localFile().value()), "inner");
    EXPECT_EQ(lowercase(nameOf(downloader.localFile().value())).rfind("sub", 0), 0u);
  }
  {
    // Without the final slash the last segment of the base is replaced.
    const std::string base = served_.url + "index.html";
    Downloader downloader(base.c_str(), authPath_.c_str());
    EXPECT_EQ(downloader.download("top.cab"), DownloadResult::Success);
    EXPECT_EQ(readFile(downloader.localFile().value()), "top");
  }
}

TEST_F(DownloaderTest, TheTemporaryFileStaysInTheTemporaryFolder) {
  served_.writeFile("ab", "two");
  {
    Downloader downloader(served_.url.c_str(), authPath_.c_str());
    EXPECT_EQ(downloader.download("ab"), DownloadResult::Success);
    const std::string path = downloader.localFile().value();
    EXPECT_EQ(lowercase(nameOf(path)).rfind("ab", 0), 0u) << path;
    EXPECT_EQ(readFile(path), "two");
  }
  for (const char* name : {"..\\..\\escape.cab", "../x.cab", "C:\\x.cab", "\\\\x.cab"}) {
    Downloader downloader(served_.url.c_str(), authPath_.c_str());
    downloader.download(name);
    const auto path = downloader.localFile();
    ASSERT_TRUE(path.has_value()) << name;
    ASSERT_FALSE(path->empty()) << name;
    EXPECT_EQ(lowercase(directoryOf(*path)), lowercase(temporaryDirectory())) << name << " -> " << *path;
    EXPECT_EQ(nameOf(*path).find_first_of("\\/:"), std::string::npos) << *path;
    EXPECT_TRUE(fileExists(*path)) << *path;
  }
}

TEST_F(DownloaderTest, NoTemporaryFolderMeansNoFileAndNoRequest) {
  served_.writeFile("package.cab", "never fetched");
  char saved[MAX_PATH + 1] = {};
  const DWORD savedLength = ::GetEnvironmentVariableA("TMP", saved, sizeof(saved));
  ::SetEnvironmentVariableA("TMP", "C:\\corvane-no-such-folder\\");
  Downloader downloader(served_.url.c_str(), authPath_.c_str());
  const DownloadResult result = downloader.download("package.cab");
  ::SetEnvironmentVariableA("TMP", savedLength ? saved : nullptr);
  EXPECT_EQ(result, DownloadResult::TempNameFailed);
  ASSERT_TRUE(downloader.localFile().has_value());
  EXPECT_EQ(*downloader.localFile(), "");
  EXPECT_EQ(requests().size(), 0u);
}

TEST_F(DownloaderTest, HandshakeNeedsAServerThatAnswers) {
  // Nothing listens on port 1 of the loopback address.
  Downloader refused("http://127.0.0.1:1/files/", authPath_.c_str());
  EXPECT_EQ(refused.download("package.cab"), DownloadResult::HandshakeFailed);
  expectEmptyTemporaryFile(refused);
}

TEST_F(DownloaderTest, AnHttpsServerIsAskedOverTlsOnly) {
  served_.writeFile("package.cab", "plain");
  // The reference server speaks plain HTTP: a handshake sent in clear text to the https
  // port would be answered and pass; over TLS it cannot succeed.
  const std::string base = "https://" + serverAuthority() + "/" + logName(served_) + "/";
  Downloader downloader(base.c_str(), authPath_.c_str());
  EXPECT_EQ(downloader.download("package.cab"), DownloadResult::HandshakeFailed);
  expectEmptyTemporaryFile(downloader);
  EXPECT_EQ(requests().size(), 0u);
}

TEST_F(DownloaderTest, AServerThatVanishesAfterTheHandshakeGivesNoFile) {
  served_.writeFile("package.cab", "never fetched");
  PrivateServer server(served_.windowsPath, "die-after-handshake");
  ASSERT_TRUE(server.running());
  Downloader downloader(server.url().c_str(), "/auth");
  EXPECT_EQ(downloader.download("package.cab"), DownloadResult::OpenUrlFailed);
  expectEmptyTemporaryFile(downloader);
}

TEST_F(DownloaderTest, AServerThatVanishesMidBodyLeavesOnlyWhatArrived) {
  const std::string content = randomBytes(300000, 8);
  served_.writeFile("package.cab", content);
  PrivateServer server(served_.windowsPath, "die-mid-body");
  ASSERT_TRUE(server.running());
  Downloader downloader(server.url().c_str(), "/auth");
  EXPECT_EQ(downloader.download("package.cab"), DownloadResult::ReadFailed);
  const std::string kept = readFile(downloader.localFile().value());
  EXPECT_LE(kept.size(), content.size() / 2);
  EXPECT_TRUE(kept == content.substr(0, kept.size()));
}

std::vector<std::string> cacheFilesContaining(const std::string& needle) {
  char cache[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_INTERNET_CACHE, nullptr, 0, cache))) return {};
  std::vector<std::string> found;
  std::vector<std::string> pending{cache};
  while (!pending.empty()) {
    const std::string folder = pending.back();
    pending.pop_back();
    WIN32_FIND_DATAA entry;
    UniqueFindHandle search(::FindFirstFileA((folder + "\\*").c_str(), &entry));
    if (!search) continue;
    do {
      const std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        pending.push_back(folder + "\\" + name);
      } else if (lowercase(name).find(lowercase(needle)) != std::string::npos) {
        found.push_back(folder + "\\" + name);
      }
    } while (::FindNextFileA(search.get(), &entry));
  }
  return found;
}

TEST_F(DownloaderTest, LeavesNothingInTheInternetCache) {
  const std::string stem = "cacheprobe" + std::to_string(::GetCurrentProcessId());
  served_.writeFile(stem + "a.bin", randomBytes(30000, 5));
  served_.writeFile(stem + "b.bin", randomBytes(30000, 6));
  // The check can see a cached copy: a plain request with flags 0 leaves one.
  {
    UniqueInternetHandle session(::InternetOpenA("probe", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    UniqueInternetHandle url(::InternetOpenUrlA(session.get(), (served_.url + stem + "b.bin").c_str(), nullptr, 0, 0, 0));
    ASSERT_TRUE(url);
    char buffer[16384];
    DWORD got = 0;
    while (::InternetReadFile(url.get(), buffer, sizeof(buffer), &got) && got > 0) {
    }
  }
  ASSERT_FALSE(cacheFilesContaining(stem + "b").empty()) << "flags 0 should have cached the probe";

  // Neither the file nor the handshake reply may be kept.
  const std::string auth = "/" + logName(served_) + "/" + stem + "auth";
  Downloader downloader(served_.url.c_str(), auth.c_str());
  ASSERT_EQ(downloader.download((stem + "a.bin").c_str()), DownloadResult::Success);
  EXPECT_TRUE(cacheFilesContaining(stem + "a").empty());
  EXPECT_TRUE(cacheFilesContaining(stem + "auth").empty());
}

TEST_F(DownloaderTest, LargeFilesStreamWithoutGrowingTheProcess) {
  const std::size_t size = 48u << 20;
  {
    std::ofstream out(served_.windowsPath + "large.bin", std::ios::binary);
    const std::string block = randomBytes(1 << 20, 7);
    for (std::size_t written = 0; written < size; written += block.size()) out.write(block.data(), block.size());
  }
  PROCESS_MEMORY_COUNTERS before{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &before, sizeof(before));
  Downloader downloader(served_.url.c_str(), authPath_.c_str());
  ASSERT_EQ(downloader.download("large.bin"), DownloadResult::Success);
  PROCESS_MEMORY_COUNTERS after{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &after, sizeof(after));

  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(::GetFileAttributesExA(downloader.localFile()->c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, size);
  EXPECT_EQ(data.nFileSizeHigh, 0u);
  // Well below the file's size: the body was never held in memory.
  EXPECT_LT(after.PeakPagefileUsage - std::min(after.PeakPagefileUsage, before.PeakPagefileUsage), size / 4);
  ::DeleteFileA(downloader.localFile()->c_str());
  ::DeleteFileA((served_.windowsPath + "large.bin").c_str());
}

}  // namespace
}  // namespace corvane::testing
