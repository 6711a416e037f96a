#include "cli/ScanRunner.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "cli/Interrupt.h"
#include "tasks/TaskRunner.h"

namespace {
class CCliTask : public CThreadProcDlg {
 public:
  explicit CCliTask(const std::function<bool()>& work) : CThreadProcDlg(false), m_work(work) {}
  ~CCliTask() override { StopThread(); }
  bool ThreadStep() override {
    m_bResult = m_work();
    m_bDone = true;
    return true;
  }
  const std::function<bool()>& m_work;
  std::atomic<bool> m_bDone{false};
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
  while (!task.m_bDone) {
    if (!signalled && Interrupted()) {
      SignalDialogStop();
      signalled = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
    m_bFinished = true;
    return true;
  }
  const std::function<bool()>& m_work;
  std::atomic<bool> m_bFinished{false};
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
  while (!task.m_bFinished) {
    if (Interrupted()) {
      task.StopThread();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  task.StopThread();
  if (stopped) *stopped = Interrupted();
  return task.m_bResult;
}
