#include "core/broadcast_rules.h"

namespace kqd {
namespace {

void PutLittleEndian(PwrAuxRequestBytes& bytes, std::size_t offset, uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

PwrAuxRequestBytes EncodePwrAuxRequest(uint32_t codeOrMode) {
  PwrAuxRequestBytes bytes{};
  PutLittleEndian(bytes, 0, kPwrAuxRequestSize);
  PutLittleEndian(bytes, 4, 1);
  PutLittleEndian(bytes, 8, codeOrMode);
  return bytes;
}

PwrAuxSequence PwrAuxRequestsFor(UsageMode mode, const BroadcastSwitches& switches) {
  PwrAuxSequence sequence;
  if (switches.SendPostureCode != 0) sequence.push_back(PostureCode(mode));
  if (switches.SendRawMode != 0) sequence.push_back(mode);
  return sequence;
}

AnnouncementPlan PlanAnnouncement(UsageMode mode, const BroadcastSwitches& switches, int32_t slateMetric,
                                  bool slateDeviceOpen) {
  const bool write = switches.SlateSync != 0 && slateDeviceOpen && SlateStateDisagrees(mode, slateMetric);
  return {write, PwrAuxRequestsFor(mode, switches)};
}

}  // namespace kqd
