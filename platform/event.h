// A named manual-reset event: once set it stays set, waking every waiter, until reset.
// The name (the system's own, such as "QuorvexRequestCapture") only tells events apart to a
// reader; nothing looks an event up by it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace qv {

class Event {
 public:
  // Creates an event that starts not signalled.
  explicit Event(std::string name = {});
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  const std::string& name() const { return name_; }
  void Set();
  void Reset();
  // True when signalled, without waiting.
  [[nodiscard]] bool IsSet() const;
  // Waits at most `timeoutMs` milliseconds (negative: forever); true when signalled.
  bool Wait(int64_t timeoutMs);

 private:
  std::string name_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool signalled_ = false;
};

}  // namespace qv
