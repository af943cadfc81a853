#include "core/mode_source_table.h"

namespace kqd {

std::optional<ModeSourceKind> ParseModeSourceName(std::string_view name) {
  for (const ModeSourceInfo& source : kModeSources) {
    if (source.name == name) return source.kind;
  }
  return std::nullopt;
}

std::string_view ModeSourceName(ModeSourceKind kind) {
  const ModeSourceInfo* source = FindModeSource(kind);
  return source ? source->name : "none";
}

std::string ModeSourceNames() {
  std::string names;
  for (const ModeSourceInfo& source : kModeSources) {
    if (!names.empty()) names += '|';
    names += source.name;
  }
  return names;
}

std::string FormatModeSourceTable() {
  std::string text = "source kind delay_ms slate_sync posture_code raw_mode early_ms median_margin_ms\n";
  for (const ModeSourceInfo& source : kModeSources) {
    text += std::string(source.name) + ' ' + std::to_string(source.kind) + ' ' +
            std::to_string(source.publishDelayMs) + ' ' + std::to_string(source.switches.SlateSync) + ' ' +
            std::to_string(source.switches.SendPostureCode) + ' ' + std::to_string(source.switches.SendRawMode) + ' ' +
            std::to_string(source.tolerance.earlyMs) + ' ' + std::to_string(source.tolerance.medianMarginMs) + '\n';
  }
  return text;
}

}  // namespace kqd
