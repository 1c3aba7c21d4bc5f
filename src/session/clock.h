#ifndef TALLIVAN_SESSION_CLOCK_H_
#define TALLIVAN_SESSION_CLOCK_H_

#include <chrono>

namespace tallivan {

using TimePoint = std::chrono::system_clock::time_point;

// Where the session takes the time from.
class Clock {
 public:
  virtual ~Clock() = default;

  // The time now.
  virtual TimePoint Now() const = 0;
};

// The system's clock.
class SystemClock : public Clock {
 public:
  TimePoint Now() const override { return std::chrono::system_clock::now(); }
};

}  // namespace tallivan

#endif  // TALLIVAN_SESSION_CLOCK_H_
