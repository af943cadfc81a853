#include "owner_list.h"

#include <algorithm>

namespace kqd {
namespace {

// Little-endian units; a missing high byte reads as zero.
std::u16string Units(std::span<const uint8_t> bytes) {
  std::u16string units((bytes.size() + 1) / 2, u'\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    units[i / 2] = static_cast<char16_t>(units[i / 2] | (bytes[i] << (i % 2 == 0 ? 0 : 8)));
  }
  return units;
}

inline constexpr size_t kMinInfNameLength = 5;  // "longer than 4 characters"

}  // namespace

std::vector<std::u16string> ParseOwners(std::span<const uint8_t> owners) {
  const std::u16string units = Units(owners);
  std::vector<std::u16string> names;
  size_t start = 0;
  while (start < units.size()) {
    const size_t end = std::min(units.find(u'\0', start), units.size());
    if (end == start) break;  // the empty name ends the list
    names.push_back(units.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

std::optional<std::u16string> IndirectInfName(std::span<const uint8_t> displayName) {
  std::u16string text = Units(displayName);
  text = text.substr(0, std::min(text.find(u'\0'), kPathCapacity - 1));
  if (text.empty() || text.front() != u'@') return std::nullopt;
  const size_t start = text.find_first_not_of(u',', 1);
  if (start == std::u16string::npos) return std::nullopt;
  return text.substr(start, text.find(u',', start) - start);
}

std::vector<std::u16string> SelectOwnerTestList(std::span<const uint8_t> owners,
                                                std::optional<std::span<const uint8_t>> displayName) {
  std::vector<std::u16string> names = ParseOwners(owners);
  if (!displayName || names.empty()) return names;
  const std::optional<std::u16string> infName = IndirectInfName(*displayName);
  if (infName && infName->size() >= kMinInfNameLength && *infName == names.front()) {
    names.resize(1);
  }
  return names;
}

}  // namespace kqd
