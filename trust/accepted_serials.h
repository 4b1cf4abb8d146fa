// The highest manifest serial this Windows user has accepted, per signing key. Kept in the
// user's registry rather than beside an installation folder, so that a page cannot escape
// it by choosing a fresh folder.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace corvane {

enum class SerialDecision { Accepted, NotAccepted, StoreUnreadable, NotRecorded };

// Under the lock the user's processes share: reads the highest accepted serial (0 when
// none was accepted yet; StoreUnreadable when the store cannot be read, since a rollback
// could not be told apart then), asks `judge` which serial to accept given it (nullopt:
// none), and records that serial before the lock is released, so that no other process's
// acceptance of a newer manifest can come between the comparison and the record.
SerialDecision acceptSerialUnderLock(const std::string& keyFingerprint,
                                     const std::function<std::optional<uint64_t>(uint64_t highest)>& judge);

}  // namespace corvane
