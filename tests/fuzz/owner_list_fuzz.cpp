// The "Owners" and "DisplayName" values: the first input byte splits the rest
// between the two; bit 7 of it says whether "DisplayName" could be read at all.
#include <span>
#include <vector>

#include "core/owner_list.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool displayRead = (data[0] & 0x80) == 0;
  const std::span<const uint8_t> rest(data + 1, size - 1);
  const size_t split = rest.empty() ? 0 : (data[0] & 0x7F) * rest.size() / 0x7F;
  // Each value in a heap block of its own size: a read past "Owners" would
  // otherwise land in "DisplayName" unseen by the sanitizer.
  const std::vector<uint8_t> ownersCopy(rest.begin(), rest.begin() + static_cast<long>(split));
  const std::vector<uint8_t> displayCopy(rest.begin() + static_cast<long>(split), rest.end());
  const std::span<const uint8_t> owners(ownersCopy.data(), ownersCopy.size());
  const std::span<const uint8_t> display(displayCopy.data(), displayCopy.size());

  // The names, NUL-joined, are the value's text up to the list's end.
  const std::u16string units = kqd::fuzz::Utf16(owners.data(), owners.size());
  const auto names = kqd::ParseOwners(owners);
  size_t at = 0;
  for (const auto& name : names) {
    KQD_FUZZ_CHECK(!name.empty());
    KQD_FUZZ_CHECK(name.find(u'\0') == std::u16string::npos);
    KQD_FUZZ_CHECK(units.compare(at, name.size(), name) == 0);
    at += name.size();
    KQD_FUZZ_CHECK(at == units.size() || units[at] == u'\0');
    ++at;
  }
  // The list stops only at an empty name or at the value's end.
  KQD_FUZZ_CHECK(at >= units.size() || units[at] == u'\0');

  const auto inf = kqd::IndirectInfName(display);
  if (inf) {
    KQD_FUZZ_CHECK(!inf->empty());
    KQD_FUZZ_CHECK(inf->size() < kqd::kPathCapacity - 1);
    KQD_FUZZ_CHECK(inf->find(u',') == std::u16string::npos);
    KQD_FUZZ_CHECK(inf->find(u'\0') == std::u16string::npos);
    const std::u16string text = kqd::fuzz::Utf16(display.data(), display.size());
    KQD_FUZZ_CHECK(!text.empty() && text[0] == u'@');
    KQD_FUZZ_CHECK(text.find(*inf) != std::u16string::npos);
  }

  const auto tested = displayRead ? kqd::SelectOwnerTestList(owners, display)
                                  : kqd::SelectOwnerTestList(owners, std::nullopt);
  // Every owner, or the first alone when "DisplayName" names it.
  if (tested.size() != names.size()) {
    KQD_FUZZ_CHECK(displayRead && tested.size() == 1 && names.size() > 1);
    KQD_FUZZ_CHECK(inf && *inf == names.front() && inf->size() > 4);
  }
  for (size_t i = 0; i < tested.size(); ++i) KQD_FUZZ_CHECK(tested[i] == names[i]);
  return 0;
}
