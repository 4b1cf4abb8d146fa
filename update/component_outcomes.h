// The outcome of every component a caller named, each told once: as soon as it is final,
// or, for one the registration pass may still undo, when the call ends.
#pragma once

#include <string>
#include <vector>

#include "base/job_events.h"
#include "update/component_list.h"

namespace corvane {

// "1.2.3.4"
std::string versionText(const ComponentRecord& record);

class ComponentOutcomes {
 public:
  // `names` as the caller gave them; a name given twice is one component. Null events:
  // nothing is told, nothing is kept.
  ComponentOutcomes(JobEvents* events, const std::vector<std::string>& names);

  bool named(const std::string& name) const;
  // Final: told now. Ignored for a name not named, or one already told.
  void settle(const std::string& name, int code, const std::string& detail);
  void settle(const std::string& name, JobOutcome outcome, const std::string& detail) {
    settle(name, outcomeCode(outcome), detail);
  }
  // Kept until finish(), unless a later settle or a failed registration replaces it.
  void expect(const std::string& name, JobOutcome outcome, const std::string& detail);
  // Settles every name still open alike (a catalog that cannot be trusted).
  void settleOpen(int code, const std::string& detail);
  void settleOpen(JobOutcome outcome, const std::string& detail) { settleOpen(outcomeCode(outcome), detail); }
  // The names no record was chosen for, after the catalog was marked against the local
  // list: already current (kept until finish, as registration may still fail), not in
  // the catalog, or with a file that may not be placed.
  // `unplaceable` holds the catalog's records set aside for their file names.
  void tellUnchosen(const ComponentList& catalog, const ComponentList& selection,
                    const ComponentList& unplaceable = ComponentList());
  // Tells every name still open: its expected outcome, or NotTried.
  void finish();

 private:
  struct Entry {
    std::string name;
    bool told = false;
    int code = outcomeCode(JobOutcome::NotTried);
    std::string detail = "the call ended before this component was tried";
  };
  Entry* find(const std::string& name);
  void tell(Entry& entry);

  JobEvents* events_;
  std::vector<Entry> entries_;
};

}  // namespace corvane
