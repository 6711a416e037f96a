#include "cli/ScanRunner.h"

#include <chrono>

#include "cli/Interrupt.h"
#include "tasks/Event.h"
#include "tasks/TaskRunner.h"

namespace {
// One step that runs the whole work on a runner of kind Runner (the dialog runner for
// scans, the page runner for saving) and signals its end.
template <typename Runner>
class CCliTask : public Runner {
 public:
  template <typename... Args>
  explicit CCliTask(const std::function<bool()>& work, Args... args) : Runner(args...), m_work(work) {}
  ~CCliTask() override { this->StopThread(); }
  bool ThreadStep() override {
    m_bResult = m_work();
    m_done.Set();
    return true;
  }
  const std::function<bool()>& m_work;
  CEvent m_done;
  bool m_bResult = false;
};

// Runs task's work on its worker. Ctrl-C stops the runner: its stop event is signalled,
// the running operation ends at its next poll, and the wait ends with the worker (also
// when the worker had not yet begun its step).
template <typename Task>
bool Run(Task& task, const std::function<bool()>& work, bool* stopped) {
  if (!task.StartThread()) {
    // No worker could be started: run here, without Ctrl-C stops.
    bool r = work();
    if (stopped) *stopped = false;
    return r;
  }
  // Wakes as soon as the work ends; looks for Ctrl-C every 20 ms meanwhile.
  while (!task.m_done.Wait(std::chrono::milliseconds(20)))
    if (Interrupted()) break;
  task.StopThread();
  if (stopped) *stopped = Interrupted();
  return task.m_bResult;
}
}  // namespace

bool RunStoppable(const std::function<bool()>& work, bool* stopped) {
  CCliTask<CThreadProcDlg> task(work, false);
  return Run(task, work, stopped);
}

bool RunStoppablePage(const std::function<bool()>& work, bool* stopped) {
  CCliTask<CThreadPropertyPage> task(work);
  return Run(task, work, stopped);
}
