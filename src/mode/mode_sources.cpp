#include "mode/mode_sources.h"

namespace kqd {

// No source of this build is wired in yet: an empty factory counts as an
// unavailable source, so the controller runs with none selected.
ModeSourceFactory DefaultModeSources() { return {}; }

}  // namespace kqd
