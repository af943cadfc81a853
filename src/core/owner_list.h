#pragma once
// Whether the driver package that installed the service is gone: which owning INF
// names the removal test looks for, decided from the raw bytes of the service key's
// "Owners" and "DisplayName" values (UTF-16LE, as the registry stores them).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kqd {

// Buffers of the removal path hold this many UTF-16 units, NUL included.
inline constexpr size_t kPathCapacity = 260;

// The names of an "Owners" multi-string, in order, up to the first empty name. A
// value without terminators ends where its bytes end; an odd last byte is the low
// half of a unit whose high half is zero.
std::vector<std::u16string> ParseOwners(std::span<const uint8_t> owners);

// The INF name of an indirect "DisplayName" ("@name,rest"): the first comma-separated
// piece after the at sign, leading commas skipped. Only the first 259 units count,
// so the text is terminated whatever the value holds. Empty when not indirect or
// when there is no piece.
std::optional<std::u16string> IndirectInfName(std::span<const uint8_t> displayName);

// The names to test. The single first owner when "DisplayName" (empty when it could
// not be read) names it, with more than 4 characters and case-sensitively equal;
// otherwise every owner.
std::vector<std::u16string> SelectOwnerTestList(std::span<const uint8_t> owners,
                                                std::optional<std::span<const uint8_t>> displayName);

}  // namespace kqd
