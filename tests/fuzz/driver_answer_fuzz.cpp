// The driver's answer word and the "Type2" flip rule.
#include <cstring>

#include "core/driver_mode.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t words[2] = {};
  std::memcpy(words, data, size < sizeof words ? size : sizeof words);
  const uint32_t answer = words[0];

  const kqd::UsageMode mode = kqd::UsageModeFromDriverAnswer(answer);
  const uint32_t format = answer >> 16;
  const uint32_t code = answer & 0xFFFF;
  KQD_FUZZ_CHECK(mode <= 4);
  if (format < 1 || format > 4) KQD_FUZZ_CHECK(mode == 0);
  if (format == 1) KQD_FUZZ_CHECK(mode != 4);
  // A known mode comes from one code only, whatever the format.
  static constexpr uint32_t kCodeOf[] = {0, 1, 3, 4, 5};
  if (mode != 0) KQD_FUZZ_CHECK(code == kCodeOf[mode]);
  // Formats 2 to 4 read codes alike; format 1 lacks only the second folded posture.
  const kqd::UsageMode latest = kqd::UsageModeFromDriverAnswer(0x20000 | code);
  KQD_FUZZ_CHECK(kqd::UsageModeFromDriverAnswer(0x30000 | code) == latest);
  KQD_FUZZ_CHECK(kqd::UsageModeFromDriverAnswer(0x40000 | code) == latest);
  if (format >= 2 && format <= 4) KQD_FUZZ_CHECK(mode == latest);
  if (format == 1) KQD_FUZZ_CHECK(mode == (latest == 4 ? 0 : latest));

  const uint32_t remembered = words[0];
  const uint32_t current = words[1];
  const bool flipped = kqd::Type2QueryBitFlipped(remembered, current);
  KQD_FUZZ_CHECK(flipped == kqd::Type2QueryBitFlipped(current, remembered));
  KQD_FUZZ_CHECK(!kqd::Type2QueryBitFlipped(current, current));
  // The other bits are the sibling's own business.
  KQD_FUZZ_CHECK(flipped == kqd::Type2QueryBitFlipped(remembered & kqd::kType2QueryBit,
                                                      current & kqd::kType2QueryBit));
  KQD_FUZZ_CHECK(kqd::Type2QueryBitFlipped(current, current ^ kqd::kType2QueryBit));
  return 0;
}
