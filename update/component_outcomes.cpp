#include "update/component_outcomes.h"

namespace corvane {
namespace {

const ComponentRecord* recordNamed(const ComponentList& list, const std::string& name) {
  for (const auto& record : list) {
    if (record->name == name) return record.get();
  }
  return nullptr;
}

const ComponentRecord* currentRecordNamed(const ComponentList& list, const std::string& name) {
  for (const auto& record : list) {
    if (record->name == name && record->state == Current) return record.get();
  }
  return nullptr;
}

}  // namespace

std::string versionText(const ComponentRecord& record) {
  std::string text;
  for (int32_t part : record.version) text += (text.empty() ? "" : ".") + std::to_string(part);
  return text;
}

ComponentOutcomes::ComponentOutcomes(JobEvents* events, const std::vector<std::string>& names) : events_(events) {
  if (events_ == nullptr) return;
  for (const std::string& name : names) {
    if (find(name) == nullptr) entries_.push_back(Entry{name});
  }
}

// Linear: the names are what a caller typed, and each is looked up a few times per call.
ComponentOutcomes::Entry* ComponentOutcomes::find(const std::string& name) {
  for (Entry& entry : entries_) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

bool ComponentOutcomes::named(const std::string& name) const {
  for (const Entry& entry : entries_) {
    if (entry.name == name) return true;
  }
  return false;
}

void ComponentOutcomes::settle(const std::string& name, int code, const std::string& detail) {
  Entry* entry = find(name);
  if (entry == nullptr || entry->told) return;
  entry->code = code;
  entry->detail = detail;
  tell(*entry);
}

void ComponentOutcomes::expect(const std::string& name, JobOutcome outcome, const std::string& detail) {
  Entry* entry = find(name);
  if (entry == nullptr || entry->told) return;
  entry->code = outcomeCode(outcome);
  entry->detail = detail;
}

void ComponentOutcomes::settleOpen(int code, const std::string& detail) {
  for (Entry& entry : entries_) {
    if (!entry.told) settle(entry.name, code, detail);
  }
}

void ComponentOutcomes::tellUnchosen(const ComponentList& catalog, const ComponentList& selection,
                                     const ComponentList& unplaceable) {
  for (const Entry& entry : entries_) {
    if (entry.told || recordNamed(selection, entry.name)) continue;
    if (const ComponentRecord* current = currentRecordNamed(catalog, entry.name)) {
      expect(entry.name, JobOutcome::AlreadyCurrent, "already installed at the catalog's version " + versionText(*current));
      continue;
    }
    const ComponentRecord* offered = recordNamed(catalog, entry.name);
    if (offered == nullptr) offered = recordNamed(unplaceable, entry.name);
    if (offered) {
      settle(entry.name, JobOutcome::PathNotUsable, offered->file + " may not be placed in the installation folder");
    } else {
      settle(entry.name, JobOutcome::NotInCatalog, "the catalog has no component of this name");
    }
  }
}

void ComponentOutcomes::finish() {
  for (Entry& entry : entries_) {
    if (!entry.told) tell(entry);
  }
}

void ComponentOutcomes::tell(Entry& entry) {
  entry.told = true;
  events_->componentDone(entry.name, entry.code, entry.detail);
}

}  // namespace corvane
