#include "tasks/Event.h"

void CEvent::Set() {
  {
    std::lock_guard lock(m_mutex);
    m_bSet.store(true, std::memory_order_release);
  }
  m_cond.notify_all();
}

void CEvent::Reset() {
  std::lock_guard lock(m_mutex);
  m_bSet.store(false, std::memory_order_release);
}

bool CEvent::IsSet() const { return m_bSet.load(std::memory_order_acquire); }

bool CEvent::Wait(std::chrono::milliseconds timeout) const {
  if (timeout <= std::chrono::milliseconds::zero()) return IsSet();
  const auto now = std::chrono::steady_clock::now();
  // A time-out beyond the clock's range means "for ever" (the deadline would overflow).
  if (timeout >= std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::time_point::max() - now)) {
    Wait();
    return true;
  }
  std::unique_lock lock(m_mutex);
  return m_cond.wait_until(lock, now + timeout, [this] { return m_bSet.load(std::memory_order_relaxed); });
}

void CEvent::Wait() const {
  std::unique_lock lock(m_mutex);
  m_cond.wait(lock, [this] { return m_bSet.load(std::memory_order_relaxed); });
}
