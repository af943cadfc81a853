#pragma once
// A picture of one replay as a standalone SVG document: the hinge angles against
// the posture thresholds, and the mode the service published.

#include <string>
#include <string_view>

#include "trace/replay_record.h"

namespace kqdtb::trace {

// The five characters XML gives a meaning to, as entities.
std::string XmlEscape(std::string_view text);

std::string RenderSvg(const Record& record, std::string_view title);

}  // namespace kqdtb::trace
