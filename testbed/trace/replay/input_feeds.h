#pragma once
// The doubles that take a replay's inputs, one per mode source.

#include <cstdint>
#include <memory>
#include <string>

#include "trace/replay/replay_plan.h"

namespace kqdtb::replay {

class InputFeed {
 public:
  virtual ~InputFeed() = default;
  // Before the replay: false, with the reason, when the double cannot take inputs.
  virtual bool Ready(std::string* error) = 0;
  // Before the input's time: puts in place what the double reads only when triggered.
  virtual bool Prepare(const PlannedInput& input, std::string* error) = 0;
  // At the input's time: makes it happen and waits (with a bound) for the double
  // to have passed it on where it says so; *at is the clock just before the trigger.
  virtual bool Deliver(const PlannedInput& input, std::uint64_t* at, std::string* error) = 0;
  // After the last input: false, with the reason, when the double lost some of them.
  virtual bool Finish(size_t delivered, std::string* error) {
    (void)delivered;
    (void)error;
    return true;
  }
};

// The Sensor API double: angles A ("Val6") and B ("Val5") of sensor 0, one report each.
std::unique_ptr<InputFeed> MakeSensorFeed();
// The WMI double: the provider's mode, then one event.
std::unique_ptr<InputFeed> MakeWmiFeed();
// The power-management driver double: its answer word, then one flip of "Type2".
std::unique_ptr<InputFeed> MakeDriverFeed();

std::unique_ptr<InputFeed> MakeFeed(Source source);

}  // namespace kqdtb::replay
