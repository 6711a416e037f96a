// A manual-reset event: once set it stays set, for every waiter and every poll, until it is
// reset. Created unsignalled. Safe to use from any number of threads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

class CEvent {
 public:
  CEvent() = default;
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  // Signals the event and wakes every waiter.
  void Set();
  // Returns the event to the unsignalled state.
  void Reset();
  // Whether the event is signalled, without waiting (a zero time-out wait).
  bool IsSet() const;
  // Waits until the event is signalled or the time-out has passed; true when signalled.
  // A zero or negative time-out only polls.
  bool Wait(std::chrono::milliseconds timeout) const;
  // Waits until the event is signalled.
  void Wait() const;

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_cond;
  // Written under m_mutex; read without it by IsSet, so a poll takes no lock.
  std::atomic<bool> m_bSet{false};
};
