// One moment, on the clock that measures pauses and silences and on the
// wall clock that messages show: the tools' parts take it from the caller,
// so that their rules on time can be shown without waiting.
#ifndef PELMORA_TOOLS_WIRE_MOMENT_H_
#define PELMORA_TOOLS_WIRE_MOMENT_H_

#include <chrono>

namespace pelmora::wire {

struct Moment {
  std::chrono::steady_clock::time_point steady;
  std::chrono::system_clock::time_point wall;
  static Moment Now() {
    return {std::chrono::steady_clock::now(), std::chrono::system_clock::now()};
  }
};

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_MOMENT_H_
