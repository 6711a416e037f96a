#include "tasks/TaskRunner.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <new>
#include <system_error>
#include <utility>

std::atomic<bool> g_bWorkerBusy{false};

std::mutex CThreadProcDlg::s_mutex;
std::shared_ptr<CEvent> CThreadProcDlg::s_hStopEvent;
std::thread CThreadProcDlg::s_hThread;
std::shared_ptr<CEvent> CThreadProcDlg::s_hThreadEnded;
std::atomic<bool> CThreadProcDlg::s_bStopSignalled{false};

std::mutex CThreadPropertyPage::s_mutex;
std::shared_ptr<CEvent> CThreadPropertyPage::s_hStopEvent;
std::thread CThreadPropertyPage::s_hThread;
std::shared_ptr<CEvent> CThreadPropertyPage::s_hThreadEnded;
std::atomic<bool> CThreadPropertyPage::s_bStopSignalled{false};

// One runner kind's class-wide state. Both kinds share the algorithms below.
//
// Hand-over of the stop event between the user-interface thread and the worker: every read
// and write of m_hStopEvent and m_hThread happens under m_mutex. Whoever signals the event
// (StopThread, SignalDialogStop) does so under the mutex and raises m_bStopSignalled with it;
// the worker, at its end, signals its own event and drops the class's handle under the mutex,
// but only while that handle is still its own. StopThread drops the event only once no worker
// that owns it is running. So each event is signalled before the worker's last poll, both
// sides see the stop, and each handle is dropped exactly once.
struct CRunnerHandles {
  std::mutex& m_mutex;
  std::shared_ptr<CEvent>& m_hStopEvent;
  std::thread& m_hThread;
  std::shared_ptr<CEvent>& m_hThreadEnded;
  std::atomic<bool>& m_bStopSignalled;

  static CRunnerHandles ForDialog() {
    return {CThreadProcDlg::s_mutex, CThreadProcDlg::s_hStopEvent, CThreadProcDlg::s_hThread,
            CThreadProcDlg::s_hThreadEnded, CThreadProcDlg::s_bStopSignalled};
  }
  static CRunnerHandles ForPage() {
    return {CThreadPropertyPage::s_mutex, CThreadPropertyPage::s_hStopEvent, CThreadPropertyPage::s_hThread,
            CThreadPropertyPage::s_hThreadEnded, CThreadPropertyPage::s_bStopSignalled};
  }

  bool IsStopSignalled() const { return m_bStopSignalled.load(std::memory_order_acquire); }

  // Signals the current event, if any. Caller holds m_mutex.
  void SignalLocked() {
    if (!m_hStopEvent) return;
    m_hStopEvent->Set();
    m_bStopSignalled.store(true, std::memory_order_release);
  }
  // Drops the current event. Caller holds m_mutex.
  void DropEventLocked() {
    m_hStopEvent.reset();
    m_bStopSignalled.store(false, std::memory_order_release);
  }
  // Whether a started worker has not yet ended. Caller holds m_mutex.
  bool IsWorkerRunningLocked() const {
    return m_hThread.joinable() && !(m_hThreadEnded && m_hThreadEnded->IsSet());
  }
  // Joins the worker when it has ended. Caller holds m_mutex. The worker takes no lock after
  // it has set its end event, so joining under the mutex cannot block on it.
  void JoinEndedLocked() {
    if (m_hThread.joinable() && !IsWorkerRunningLocked()) {
      m_hThread.join();
      m_hThreadEnded.reset();
    }
  }

  // The end of a worker's loop: signal the worker's own event, and drop the class's handle
  // while it is still that event.
  void WorkerLoopEnded(const std::shared_ptr<CEvent>& hStopEvent) {
    std::lock_guard lock(m_mutex);
    hStopEvent->Set();
    if (m_hStopEvent == hStopEvent) DropEventLocked();
  }

  // bMayWait false: the caller answers the worker's closing call, so it must not wait.
  bool Stop(bool bMayWait, const std::function<bool()>& pump) {
    std::shared_ptr<CEvent> hEnded;
    {
      std::lock_guard lock(m_mutex);
      SignalLocked();
      const bool bOnWorker = m_hThread.joinable() && m_hThread.get_id() == std::this_thread::get_id();
      if (bMayWait && !bOnWorker && IsWorkerRunningLocked()) hEnded = m_hThreadEnded;
    }
    if (hEnded) {
      // Poll the worker's end; between polls let the user-interface thread answer the
      // worker's sends, which would otherwise wait on this thread for ever.
      constexpr std::chrono::milliseconds kPollInterval{1};
      bool bPump = true;
      while (!hEnded->IsSet()) {
        if (bPump) bPump = pump();
        hEnded->Wait(kPollInterval);
      }
    }
    std::lock_guard lock(m_mutex);
    // A worker that still runs (it is this thread, or is waiting for this thread's answer)
    // drops its own event at its end; otherwise nobody else will.
    if (!IsWorkerRunningLocked()) {
      if (m_hStopEvent) DropEventLocked();
      JoinEndedLocked();
    }
    return true;
  }

  // Caller has stopped any previous worker. fnStart starts the thread procedure with the new
  // event and the new end event.
  template <typename FStart>
  bool Start(FStart fnStart) {
    std::lock_guard lock(m_mutex);
    JoinEndedLocked();
    if (m_hThread.joinable()) return false;  // a worker that cannot be waited for from here
    if (m_hStopEvent) DropEventLocked();
    std::shared_ptr<CEvent> hStopEvent, hEnded;
    try {
      hStopEvent = std::make_shared<CEvent>();
      hEnded = std::make_shared<CEvent>();
    } catch (const std::bad_alloc&) {
      return false;
    }
    m_hStopEvent = hStopEvent;
    m_bStopSignalled.store(false, std::memory_order_release);
    RegisterStopAtExit();
    try {
      m_hThread = fnStart(hStopEvent, hEnded);
    } catch (const std::system_error&) {
      return false;  // the new event stays; StopThread drops it
    }
    m_hThreadEnded = std::move(hEnded);
    return true;
  }

  // At exit, a worker still running is stopped and joined before the class-wide state is
  // destroyed (a joinable std::thread would end the program). A worker polls at every unit,
  // so this is short. Registered after this file's statics are built, so it runs before
  // their destruction.
  static void RegisterStopAtExit() {
    static const bool s_bRegistered = std::atexit(&StopAllAtExit) == 0;
    (void)s_bRegistered;
  }
  static void StopAllAtExit() {
    ForDialog().StopAtExit();
    ForPage().StopAtExit();
  }
  void StopAtExit() {
    std::thread thread;
    {
      std::lock_guard lock(m_mutex);
      SignalLocked();
      thread = std::move(m_hThread);
    }
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id())
      thread.detach();  // the program is ending from within the worker itself
    else
      thread.join();
  }
};

namespace {

// Depth of AnswerTaskClose calls on this thread: inside one, the dialog runner's worker is
// waiting for this thread and must not be waited for.
thread_local int t_nAnsweringTaskClose = 0;

}  // namespace

bool IsDialogStopSignalled() { return CRunnerHandles::ForDialog().IsStopSignalled(); }

bool IsPageStopSignalled() { return CRunnerHandles::ForPage().IsStopSignalled(); }

void SignalDialogStop() {
  CRunnerHandles handles = CRunnerHandles::ForDialog();
  std::lock_guard lock(handles.m_mutex);
  handles.SignalLocked();
}

void SignalPageStop() {
  CRunnerHandles handles = CRunnerHandles::ForPage();
  std::lock_guard lock(handles.m_mutex);
  handles.SignalLocked();
}

// ---- CThreadProcDlg ----

CThreadProcDlg::CThreadProcDlg(bool bAutoRun) : m_bAutoRun(bAutoRun) {}

CThreadProcDlg::~CThreadProcDlg() { StopThread(); }

bool CThreadProcDlg::OnInitDialog() {
  if (m_bAutoRun) StartThread();
  return true;
}

void CThreadProcDlg::OnCancel() { StopThread(); }

bool CThreadProcDlg::StartThread() {
  StopThread();
  return CRunnerHandles::ForDialog().Start([this](std::shared_ptr<CEvent> hStopEvent, std::shared_ptr<CEvent> hEnded) {
    return std::thread(&CThreadProcDlg::ThreadProc, this, std::move(hStopEvent), std::move(hEnded));
  });
}

bool CThreadProcDlg::StopThread() {
  return CRunnerHandles::ForDialog().Stop(t_nAnsweringTaskClose == 0, [this] { return PumpMessages(); });
}

bool CThreadProcDlg::ThreadStep() { return false; }

bool CThreadProcDlg::IsWindowAlive() const { return true; }

void CThreadProcDlg::OnWorkerDone() { AnswerTaskClose(); }

void CThreadProcDlg::AnswerTaskClose() {
  struct CDepth {
    CDepth() { ++t_nAnsweringTaskClose; }
    ~CDepth() { --t_nAnsweringTaskClose; }
  } depth;
  OnTaskClose();
}

void CThreadProcDlg::OnTaskClose() { OnCancel(); }

bool CThreadProcDlg::PumpMessages() { return true; }

std::shared_ptr<const CEvent> CThreadProcDlg::StopEvent() {
  std::lock_guard lock(s_mutex);
  return s_hStopEvent;
}

void CThreadProcDlg::ThreadProc(CThreadProcDlg* pDlg, std::shared_ptr<CEvent> hStopEvent, std::shared_ptr<CEvent> hEnded) {
  CRunnerHandles handles = CRunnerHandles::ForDialog();
  g_bWorkerBusy.store(true);
  // The event is tested before every step, so no step starts once it is signalled.
  while (!handles.IsStopSignalled()) {
    if (pDlg->ThreadStep()) break;
  }
  handles.WorkerLoopEnded(hStopEvent);
  // After the closing call returns, the dialog may already be gone: it is not touched again.
  if (pDlg->m_bAutoRun && pDlg->IsWindowAlive()) pDlg->OnWorkerDone();
  g_bWorkerBusy.store(false);
  hEnded->Set();
}

// ---- CThreadPropertyPage ----

CThreadPropertyPage::CThreadPropertyPage() : m_bDone(false) {}

CThreadPropertyPage::~CThreadPropertyPage() { StopThread(); }

bool CThreadPropertyPage::StartThread() {
  StopThread();
  return CRunnerHandles::ForPage().Start([this](std::shared_ptr<CEvent> hStopEvent, std::shared_ptr<CEvent> hEnded) {
    return std::thread(&CThreadPropertyPage::ThreadProc, this, std::move(hStopEvent), std::move(hEnded));
  });
}

bool CThreadPropertyPage::StopThread() {
  return CRunnerHandles::ForPage().Stop(true, [this] { return PumpMessages(); });
}

bool CThreadPropertyPage::ThreadStep() { return false; }

bool CThreadPropertyPage::PumpMessages() { return true; }

std::shared_ptr<const CEvent> CThreadPropertyPage::StopEvent() {
  std::lock_guard lock(s_mutex);
  return s_hStopEvent;
}

void CThreadPropertyPage::ThreadProc(CThreadPropertyPage* pPage, std::shared_ptr<CEvent> hStopEvent,
                                     std::shared_ptr<CEvent> hEnded) {
  CRunnerHandles handles = CRunnerHandles::ForPage();
  while (!handles.IsStopSignalled()) {
    if (pPage->ThreadStep()) break;
  }
  handles.WorkerLoopEnded(hStopEvent);
  hEnded->Set();
}
