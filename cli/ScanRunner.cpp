#include "cli/ScanRunner.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "cli/Interrupt.h"
#include "tasks/Event.h"
#include "tasks/TaskRunner.h"

namespace {
class CCliTask : public CThreadProcDlg {
 public:
  explicit CCliTask(const std::function<bool()>& work) : CThreadProcDlg(false), m_work(work) {}
  ~CCliTask() override { StopThread(); }
  bool ThreadStep() override {
    m_bResult = m_work();
    m_done.Set();
    return true;
  }
  const std::function<bool()>& m_work;
  CEvent m_done;
  bool m_bResult = false;
};
}  // namespace

bool RunStoppable(const std::function<bool()>& work, bool* stopped) {
  CCliTask task(work);
  if (!task.StartThread()) {
    // No worker could be started: run here, without Ctrl-C stops.
    bool r = work();
    if (stopped) *stopped = false;
    return r;
  }
  bool signalled = false;
  // Wakes as soon as the work ends; looks for Ctrl-C every 20 ms meanwhile.
  while (!task.m_done.Wait(std::chrono::milliseconds(20))) {
    if (!signalled && Interrupted()) {
      SignalDialogStop();
      signalled = true;
    }
  }
  task.StopThread();
  if (stopped) *stopped = Interrupted();
  return task.m_bResult;
}

namespace {
class CCliPageTask : public CThreadPropertyPage {
 public:
  explicit CCliPageTask(const std::function<bool()>& work) : m_work(work) {}
  ~CCliPageTask() override { StopThread(); }
  bool ThreadStep() override {
    m_bResult = m_work();
    m_done.Set();
    return true;
  }
  const std::function<bool()>& m_work;
  CEvent m_done;
  bool m_bResult = false;
};
}  // namespace

bool RunStoppablePage(const std::function<bool()>& work, bool* stopped) {
  CCliPageTask task(work);
  if (!task.StartThread()) {
    bool r = work();
    if (stopped) *stopped = false;
    return r;
  }
  while (!task.m_done.Wait(std::chrono::milliseconds(20))) {
    if (Interrupted()) {
      task.StopThread();
      break;
    }
  }
  task.StopThread();
  if (stopped) *stopped = Interrupted();
  return task.m_bResult;
}
