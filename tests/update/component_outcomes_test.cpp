// The outcome of each named component: told once, in the order the outcomes become final,
// with the ones the registration pass may still undo told last.
#include <gtest/gtest.h>

#include <memory>

#include "update/component_outcomes.h"

namespace corvane::testing {
namespace {

struct Told {
  std::string name;
  int result;
  bool operator==(const Told& other) const { return name == other.name && result == other.result; }
};

class RecordingEvents final : public JobEvents {
 public:
  std::chrono::milliseconds progress(const std::string&, uint64_t, std::optional<uint64_t>) noexcept override {
    return std::chrono::milliseconds(0);
  }
  void componentDone(const std::string& name, int result, const std::string& detail) noexcept override {
    told.push_back({name, result});
    details.push_back(detail);
  }
  void certificateDone(const std::string&, int, const std::string&) noexcept override {}
  std::vector<Told> told;
  std::vector<std::string> details;
};

std::shared_ptr<ComponentRecord> record(const std::string& name, const std::string& file, int state) {
  auto made = std::make_shared<ComponentRecord>();
  made->name = name;
  made->package = name + ".cab";
  made->file = file;
  made->version = {1, 2, 3, 4};
  made->state = state;
  return made;
}

TEST(ComponentOutcomes, EachNamedComponentIsToldOnceInTheOrderItIsDecided) {
  RecordingEvents events;
  ComponentOutcomes outcomes(&events, {"lib", "plain", "gone", "current", "outside", "alias", "lib", "", "never"});
  ComponentList catalog, selection, unplaceable;
  // Set aside when the catalog was read: its file name is a short-name alias.
  unplaceable.append(record("alias", "DATA~1.TXT", New));
  for (auto made : {record("lib", "lib.dll", New), record("plain", "p.txt", New), record("current", "c.txt", Current),
                    record("outside", "..\\o.txt", New), record("never", "n.txt", New)}) {
    catalog.append(made);
  }
  // "never" is chosen, but the call ends before it is tried.
  for (size_t chosen : {0, 1, 4}) selection.append(catalog.at(chosen));
  outcomes.tellUnchosen(catalog, selection, unplaceable);
  outcomes.expect("lib", JobOutcome::Done, "installed");
  outcomes.settle("plain", 11, "download failed");
  outcomes.settle("plain", JobOutcome::Done, "a second word on a told component is ignored");
  outcomes.settle("stranger", JobOutcome::Done, "not named: never told");
  outcomes.settle("lib", JobOutcome::NotRegistered, "did not register");
  outcomes.finish();
  outcomes.finish();
  const std::vector<Told> expected = {{"gone", 101}, {"outside", 108}, {"alias", 108},   {"", 101},
                                      {"plain", 11}, {"lib", 105},     {"current", 100}, {"never", 109}};
  EXPECT_EQ(expected, events.told);
  EXPECT_EQ("already installed at the catalog's version 1.2.3.4", events.details[6]);
}

TEST(ComponentOutcomes, AnUntrustedCatalogSettlesEveryOpenName) {
  RecordingEvents events;
  ComponentOutcomes outcomes(&events, {"a", "b"});
  outcomes.settle("a", 17, "handshake failed");
  outcomes.settleOpen(JobOutcome::CatalogUnreadable, "unreadable");
  outcomes.finish();
  EXPECT_EQ((std::vector<Told>{{"a", 17}, {"b", 102}}), events.told);
}

TEST(ComponentOutcomes, WithoutEventsNothingIsKept) {
  ComponentOutcomes outcomes(nullptr, {"a"});
  EXPECT_FALSE(outcomes.named("a"));
  outcomes.settle("a", JobOutcome::Done, "");
  outcomes.finish();
}

}  // namespace
}  // namespace corvane::testing
