// The highest manifest serial this Windows user has accepted, per signing key. Kept in the
// user's registry rather than beside an installation folder, so that a page cannot escape
// it by choosing a fresh folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

// 0 when none was accepted yet; nullopt when the store cannot be read (then nothing may be
// accepted: a rollback could not be told apart).
std::optional<uint64_t> highestAcceptedSerial(const std::string& keyFingerprint);

// Raises the stored serial to `serial` (never lowers it). False when it cannot be stored.
bool recordAcceptedSerial(const std::string& keyFingerprint, uint64_t serial);

}  // namespace corvane
