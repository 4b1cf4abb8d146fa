// Replays every kept input (seed corpora and the crash inputs the fuzzers found) through
// its target, one test case per file, so a fixed fault stays fixed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/fuzz/fuzz_targets.h"

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;

struct KeptInput {
  std::string target;
  fs::path file;
};

using TargetFunction = void (*)(const std::uint8_t*, std::size_t);

TargetFunction targetNamed(const std::string& name) {
  if (name == "list_reader") return listReaderTarget;
  if (name == "handshake") return handshakeTarget;
  if (name == "registry_script") return registryScriptTarget;
  if (name == "manifest") return manifestTarget;
  return nullptr;
}

std::vector<KeptInput> keptInputs() {
  std::vector<KeptInput> inputs;
  for (const char* kind : {"corpus", "regressions"}) {
    const fs::path root = fs::path(FUZZ_INPUT_DIR) / kind;
    if (!fs::is_directory(root)) continue;
    for (const auto& targetDir : fs::directory_iterator(root)) {
      if (!targetDir.is_directory()) continue;
      for (const auto& file : fs::directory_iterator(targetDir.path())) {
        if (file.is_regular_file() && file.path().filename().string()[0] != '.')
          inputs.push_back({targetDir.path().filename().string(), file.path()});
      }
    }
  }
  std::sort(inputs.begin(), inputs.end(), [](const KeptInput& a, const KeptInput& b) { return a.file < b.file; });
  return inputs;
}

class KeptInputReplay : public ::testing::TestWithParam<KeptInput> {};

TEST_P(KeptInputReplay, PropertiesHold) {
  const KeptInput& kept = GetParam();
  const TargetFunction target = targetNamed(kept.target);
  ASSERT_NE(nullptr, target) << "no fuzz target called " << kept.target << " for " << kept.file;
  std::ifstream stream(kept.file, std::ios::binary);
  ASSERT_TRUE(stream) << kept.file;
  const std::vector<char> bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  // A broken property aborts the process, which fails this case.
  target(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::string caseName(const ::testing::TestParamInfo<KeptInput>& info) {
  std::string name = info.param.file.parent_path().parent_path().filename().string() + "_" + info.param.target +
                     "_" + info.param.file.filename().string();
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Kept, KeptInputReplay, ::testing::ValuesIn(keptInputs()), caseName);

// The properties are not vacuous: inputs that break them must be caught.
TEST(FuzzProperties, BrokenPropertyAbortsTheRun) {
  EXPECT_DEATH(propertyBroken("test", "on purpose"), "test: property broken: on purpose");
}

}  // namespace
}  // namespace corvane::testing
