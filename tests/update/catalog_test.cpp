// readCatalog and fetchBeside through Wine's WinINet against real HTTP servers on
// 127.0.0.1: the reference component server (with its faults) and a small chunked-coding
// server.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "transfer/catalog_fetch.h"
#include "update/component_list_io.h"
#include "tests/update/memory_line_source.h"
#include "support/files.h"
#include "support/server_client.h"
#include "support/served_files.h"

namespace corvane::testing {
namespace {

constexpr char kCatalog[] = "cvprobecl.txt";

// Lines of every kind: valid ones, blanks, a short line, CR LF ends, text after a CR.
std::string sampleCatalog() {
  return "alpha,alpha.cab,alpha.dll,1.2.3.4,1,0\r\n"
         "\r\n"
         "not a record\n"
         "beta , beta.cab , beta.txt , 2.0.0.1 , 2 , 0 \n"
         "   \n"
         "gamma,gamma.cab,gamma.dll,3.1.4.1,1,0\rdropped,x,y,1.1.1.1,1,1\n"
         "short,line,only.dll,1.2.3\n"
         "delta,delta.cab,delta.dll,0.0.0.9,1,2";
}

// What the parser makes of the same text from memory.
std::vector<ComponentRecord> expectedRecords(const std::string& text, size_t* nonBlank = nullptr) {
  testing::MemoryLineSource source(text);
  size_t count = 0;
  const ComponentList list = parseComponentLines(source, count);
  if (nonBlank) *nonBlank = count;
  std::vector<ComponentRecord> records;
  for (const auto& record : list) records.push_back(*record);
  return records;
}

void expectSameRecords(const std::vector<ComponentRecord>& expected, const ComponentList& actual) {
  ASSERT_EQ(expected.size(), actual.length());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].name, actual.at(i)->name) << i;
    EXPECT_EQ(expected[i].package, actual.at(i)->package) << i;
    EXPECT_EQ(expected[i].file, actual.at(i)->file) << i;
    EXPECT_EQ(expected[i].version, actual.at(i)->version) << i;
    EXPECT_EQ(expected[i].kind, actual.at(i)->kind) << i;
    EXPECT_EQ(expected[i].state, actual.at(i)->state) << i;
  }
}

void expectUnreadable(const CatalogRead& read, const std::string& what) {
  EXPECT_FALSE(read.readable) << what;
  EXPECT_TRUE(read.records.empty()) << what;
}

// A body of valid lines of exactly `size` bytes.
std::string catalogOfSize(size_t size) {
  std::string text;
  text.reserve(size);
  for (size_t i = 0; text.size() < size; ++i) text += "c" + std::to_string(i) + ",p.cab,f.dll,1.0.0." + std::to_string(i % 1000) + ",2,0\n";
  text.resize(size);
  text.back() = '\n';
  return text;
}

TEST(CatalogOverHttp, RecordsAndNonBlankLinesOfAServedCatalog) {
  const ServedDirectory served = makeServedDirectory("catalog-plain");
  served.writeFile(kCatalog, sampleCatalog());
  size_t nonBlank = 0;
  const auto expected = expectedRecords(sampleCatalog(), &nonBlank);
  for (const char* faults : {"", "no-content-length", "slow-pieces", "slow-pieces,no-content-length"}) {
    const std::string url = *faults ? served.faultUrl(faults) : served.url;
    const CatalogRead read = readCatalog(url + kCatalog);
    EXPECT_TRUE(read.readable) << faults;
    EXPECT_EQ(nonBlank, read.nonBlankLines) << faults;
    EXPECT_EQ(6u, read.nonBlankLines) << faults;
    expectSameRecords(expected, read.records);
    ASSERT_EQ(4u, read.records.length());
    EXPECT_EQ("beta.txt", read.records.at(1)->file);
    EXPECT_EQ(Stale, read.records.at(3)->state);
  }
}

TEST(CatalogOverHttp, LongLinesAndFillBoundaries) {
  const ServedDirectory served = makeServedDirectory("catalog-long");
  std::string text;
  for (size_t pad = 1000; pad < 1050; pad += 3)
    text += "n" + std::to_string(pad) + "," + std::string(pad, 'p') + ",f.dll,1.2.3.4,1,0\r\n";
  text += std::string(5000, 'N') + ",pkg,file,4.3.2.1,2,0";
  served.writeFile(kCatalog, text);
  for (const char* faults : {"", "no-content-length"}) {
    const CatalogRead read = readCatalog((*faults ? served.faultUrl(faults) : served.url) + kCatalog);
    EXPECT_TRUE(read.readable);
    expectSameRecords(expectedRecords(text), read.records);
    EXPECT_EQ(18u, read.records.length());
    EXPECT_EQ(std::string(5000, 'N'), read.records.at(17)->name);
  }
}

TEST(CatalogOverHttp, AnEmptyCatalogIsReadableAndEmpty) {
  const ServedDirectory served = makeServedDirectory("catalog-empty");
  served.writeFile(kCatalog, "");
  const CatalogRead read = readCatalog(served.url + kCatalog);
  EXPECT_TRUE(read.readable);
  EXPECT_TRUE(read.records.empty());
  EXPECT_EQ(0u, read.nonBlankLines);
  served.writeFile(kCatalog, "\r\n\n  \t\n");
  const CatalogRead blanks = readCatalog(served.url + kCatalog);
  EXPECT_TRUE(blanks.readable);
  EXPECT_EQ(0u, blanks.nonBlankLines);
}

TEST(CatalogOverHttp, APageThatIsNoCatalogHasLinesButNoRecords) {
  const ServedDirectory served = makeServedDirectory("catalog-html");
  served.writeFile(kCatalog, sampleCatalog());
  const CatalogRead read = readCatalog(served.faultUrl("html-page") + kCatalog);
  EXPECT_TRUE(read.readable);
  EXPECT_TRUE(read.records.empty());
  EXPECT_GT(read.nonBlankLines, 0u);
}

TEST(CatalogOverHttp, ErrorStatusesCannotBeRead) {
  const ServedDirectory served = makeServedDirectory("catalog-status");
  // The error pages could even hold valid lines: the status alone decides.
  served.writeFile(kCatalog, sampleCatalog());
  expectUnreadable(readCatalog(served.url + "missing-" + kCatalog), "missing file");
  expectUnreadable(readCatalog(served.faultUrl("not-found") + kCatalog), "404");
  expectUnreadable(readCatalog(served.faultUrl("file-error") + kCatalog), "500");
}

// The catalog decides what is deleted: it is taken from the server BaseURL names only,
// through redirects within that server and for a few hops.
TEST(CatalogOverHttp, RedirectsAreFollowedOnlyWithinTheServer) {
  const ServedDirectory served = makeServedDirectory("catalog-redirect");
  served.writeFile(kCatalog, sampleCatalog());
  EXPECT_TRUE(readCatalog(served.faultUrl("redirect-same") + kCatalog).readable);
  expectUnreadable(readCatalog(served.faultUrl("redirect-away") + kCatalog), "redirect to another host");
  expectUnreadable(readCatalog(served.faultUrl("redirect-loop") + kCatalog), "redirect loop");
  expectUnreadable(readCatalog(served.faultUrl("huge-length") + kCatalog), "length past 4 GiB");
  expectUnreadable(readCatalog(served.faultUrl("long-length") + kCatalog), "body short of its length");
}

// A base that does not end in a folder: appended, the name would finish its port as
// another one of the same host.
TEST(CatalogOverHttp, FilesBesideTheBaseComeOnlyFromItsServer) {
  const ServedDirectory served = makeServedDirectory("catalog-beside");
  served.writeFile(kCatalog, sampleCatalog());
  EXPECT_EQ(sampleCatalog(), fetchBeside(served.url, kCatalog));
  const size_t pathStart = served.url.find('/', std::strlen("http://"));
  const std::string base = served.url.substr(0, pathStart - 1);
  const std::string name = served.url.substr(pathStart - 1) + kCatalog;
  ASSERT_EQ(served.url + kCatalog, base + name);
  EXPECT_EQ(std::nullopt, fetchBeside(base, name.c_str()));
}

TEST(CatalogOverHttp, BodiesCutShortCannotBeRead) {
  const ServedDirectory served = makeServedDirectory("catalog-cut");
  // Enough valid lines that the half which arrives holds several.
  std::string text;
  for (int i = 0; i < 200; ++i) text += "c" + std::to_string(i) + ",c.cab,c.dll,1.0.0." + std::to_string(i) + ",1,0\n";
  served.writeFile(kCatalog, text);
  ASSERT_TRUE(readCatalog(served.url + kCatalog).readable);
  expectUnreadable(readCatalog(served.faultUrl("short-body") + kCatalog), "closed before Content-Length");
  expectUnreadable(readCatalog(served.faultUrl("drop-mid-body") + kCatalog), "reset mid-body");
  expectUnreadable(readCatalog(served.faultUrl("short-body,slow-pieces") + kCatalog), "slow and short");
}

TEST(CatalogOverHttp, NoServerMeansUnreadable) {
  expectUnreadable(readCatalog("http://127.0.0.1:1/cvprobecl.txt"), "nothing listens");
  expectUnreadable(readCatalog("not a url"), "malformed URL");
}

TEST(CatalogOverHttp, BodiesOverSixteenMebibytesAreNotRead) {
  const ServedDirectory served = makeServedDirectory("catalog-large");
  const size_t limit = 16u * 1024 * 1024;
  served.writeFile(kCatalog, catalogOfSize(limit));
  for (const char* faults : {"", "no-content-length"}) {
    const CatalogRead read = readCatalog((*faults ? served.faultUrl(faults) : served.url) + kCatalog);
    EXPECT_TRUE(read.readable) << "exactly the limit, " << faults;
    EXPECT_GT(read.records.length(), 100000u);
  }
  served.writeFile(kCatalog, catalogOfSize(limit + 1));
  expectUnreadable(readCatalog(served.url + kCatalog), "announced one byte over");
  expectUnreadable(readCatalog(served.faultUrl("no-content-length") + kCatalog), "one byte over, unannounced");
}

TEST(CatalogOverHttp, EveryReadAsksTheServerAndNamesItself) {
  const ServedDirectory served = makeServedDirectory("catalog-fresh");
  served.writeFile(kCatalog, "x,x.cab,x.dll,1.0.0.0,1,0\n");
  ASSERT_EQ((std::array<int32_t, 4>{1, 0, 0, 0}), readCatalog(served.url + kCatalog).records.at(0)->version);
  served.writeFile(kCatalog, "x,x.cab,x.dll,2.0.0.0,1,0\n");
  const CatalogRead second = readCatalog(served.url + kCatalog);
  ASSERT_EQ(1u, second.records.length());
  EXPECT_EQ((std::array<int32_t, 4>{2, 0, 0, 0}), second.records.at(0)->version) << "no cached copy was used";

  const std::string path = served.url.substr(testing::componentServerUrl().size() - 1) + kCatalog;
  const std::vector<std::string> requests = testing::serverRequestsContaining("GET " + path + "\t", true);
  for (const std::string& line : requests) {
    EXPECT_NE(std::string::npos, line.find("user-agent=VIZudavezav\t")) << line;
    EXPECT_NE(std::string::npos, line.find("pragma=no-cache")) << line;
  }
  EXPECT_EQ(2u, requests.size());
}

// The chunked-coding server started around these tests.
struct ChunkedServer {
  std::string url;    // ends with '/'
  std::string files;  // Windows path, ends with '\'
};
ChunkedServer chunkedServer() {
  std::string port;
  EXPECT_TRUE(testing::readWholeFile(testing::windowsPathOf(TEST_CHUNKED_SERVER_DIR "/port"), port))
      << "the chunked server fixture did not run";
  return {"http://127.0.0.1:" + port + "/", testing::windowsPathOf(TEST_CHUNKED_SERVER_DIR "/files/")};
}

TEST(CatalogOverHttp, ChunkedBodies) {
  const ChunkedServer server = chunkedServer();
  const std::string name = "chunked-" + std::to_string(::GetCurrentProcessId()) + ".txt";
  std::string text = sampleCatalog();
  for (int i = 0; i < 40; ++i) text += "\nc" + std::to_string(i) + "," + std::string(97 * i, 'p') + ",c.dll,1.0.0.0,1,0";
  testing::writeWholeFile(server.files + name, text);
  size_t nonBlank = 0;
  const auto expected = expectedRecords(text, &nonBlank);
  const CatalogRead read = readCatalog(server.url + name);
  EXPECT_TRUE(read.readable);
  EXPECT_EQ(nonBlank, read.nonBlankLines);
  expectSameRecords(expected, read.records);
  EXPECT_EQ(44u, read.records.length());
  expectUnreadable(readCatalog(server.url + "missing-" + name), "404");
  ::DeleteFileA((server.files + name).c_str());
}

}  // namespace
}  // namespace corvane::testing
