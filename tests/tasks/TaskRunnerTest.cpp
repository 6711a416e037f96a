#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "tasks/Event.h"
#include "tasks/Progress.h"
#include "tasks/StopEvents.h"
#include "tasks/TaskRunner.h"

namespace {

// Stands in for the GUI thread's event queue: Send blocks the sending (worker) thread until
// the user-interface thread has run the call, as a blocking queued call does.
class CUiQueue {
 public:
  void Send(std::function<void()> fnCall) {
    auto hDone = std::make_shared<CEvent>();
    {
      std::lock_guard lock(m_mutex);
      m_calls.push_back([fnCall = std::move(fnCall), hDone] {
        fnCall();
        hDone->Set();
      });
    }
    m_cond.notify_all();
    hDone->Wait();
  }
  // Runs the calls waiting now, without blocking.
  void Pump() {
    while (std::function<void()> fnCall = Take(false)) fnCall();
  }
  // Runs calls as they arrive until bDone() holds; bDone may only change through the calls.
  void PumpUntil(const std::function<bool()>& bDone) {
    while (!bDone()) Take(true)();
  }

 private:
  std::function<void()> Take(bool bWait) {
    std::unique_lock lock(m_mutex);
    if (bWait) m_cond.wait(lock, [this] { return !m_calls.empty(); });
    if (m_calls.empty()) return {};
    std::function<void()> fnCall = std::move(m_calls.front());
    m_calls.pop_front();
    return fnCall;
  }
  std::mutex m_mutex;
  std::condition_variable m_cond;
  std::deque<std::function<void()>> m_calls;
};

// A progress window on the queue; counts what the worker sent and what the UI handled.
class CQueueWindow : public IProgressWindow {
 public:
  explicit CQueueWindow(CUiQueue& ui) : m_ui(ui) {}
  bool IsWindow() const override { return true; }
  int64_t Send(uint32_t message, uint64_t wParam, int64_t lParam) override {
    ++m_nSent;
    m_ui.Send([this] { ++m_nHandled; });
    return 0;
  }
  std::atomic<int> m_nSent{0};
  std::atomic<int> m_nHandled{0};

 private:
  CUiQueue& m_ui;
};

class CTestDlg : public CThreadProcDlg {
 public:
  using FStep = std::function<bool(CTestDlg&)>;
  CTestDlg(bool bAutoRun, FStep fnStep, CUiQueue* pUi = nullptr)
      : CThreadProcDlg(bAutoRun), m_fnStep(std::move(fnStep)), m_pUi(pUi) {}
  ~CTestDlg() override { StopThread(); }

  bool ThreadStep() override {
    ++m_nSteps;
    if (!g_bWorkerBusy) m_bBusyCleared = true;
    const bool bComplete = m_fnStep(*this);
    m_stepReturned.Set();
    return bComplete;
  }
  void OnWorkerDone() override {
    ++m_nWorkerDone;
    if (CThreadProcDlg::StopEvent()) m_bEventAtClose = true;
    if (m_pUi)
      m_pUi->Send([this] { AnswerTaskClose(); });
    else
      CThreadProcDlg::OnWorkerDone();
  }
  void OnCancel() override {
    ++m_nCancels;
    CThreadProcDlg::OnCancel();
  }
  bool PumpMessages() override {
    ++m_nPumps;
    if (m_pUi) m_pUi->Pump();
    return true;
  }

  FStep m_fnStep;
  CUiQueue* m_pUi;
  std::atomic<int> m_nSteps{0};
  std::atomic<int> m_nWorkerDone{0};
  std::atomic<int> m_nCancels{0};
  std::atomic<int> m_nPumps{0};
  std::atomic<bool> m_bBusyCleared{false};  // a step ran while g_bWorkerBusy was clear
  std::atomic<bool> m_bEventAtClose{false};  // the closing call came before the event was dropped
  CEvent m_stepReturned;
};

// Loops until the dialog runner's event is signalled, as a unit scan does.
bool ScanUntilDialogStop() {
  while (!IsDialogStopSignalled()) std::this_thread::yield();
  return false;
}

TEST(TaskRunnerEvent, ManualResetStaysSetUntilReset) {
  CEvent event;
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(std::chrono::milliseconds(0)));
  EXPECT_FALSE(event.Wait(std::chrono::milliseconds(1)));

  std::thread setter([&] { event.Set(); });
  EXPECT_TRUE(event.Wait(std::chrono::hours(1)));
  setter.join();
  // Every later wait and poll sees it, including one whose deadline overflows the clock.
  EXPECT_TRUE(event.IsSet());
  EXPECT_TRUE(event.Wait(std::chrono::milliseconds(0)));
  EXPECT_TRUE(event.Wait(std::chrono::milliseconds::max()));
  event.Wait();

  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(std::chrono::milliseconds(1)));
}

// A step that completes at its first call, with and without auto run.
TEST(TaskRunnerDialog, StepCompleteAtFirstCall) {
  for (bool bAutoRun : {true, false}) {
    SCOPED_TRACE(bAutoRun ? "auto run" : "started by hand");
    std::shared_ptr<const CEvent> hEventInStep;
    CTestDlg dlg(bAutoRun, [&](CTestDlg&) {
      hEventInStep = CThreadProcDlg::StopEvent();
      return true;
    });
    EXPECT_TRUE(dlg.OnInitDialog());
    if (!bAutoRun) {
      EXPECT_EQ(CThreadProcDlg::StopEvent(), nullptr);  // opening starts nothing
      EXPECT_TRUE(dlg.StartThread());
    }
    dlg.m_stepReturned.Wait();
    EXPECT_TRUE(dlg.StopThread());

    EXPECT_EQ(dlg.m_nSteps, 1);
    // The closing call is made once, and its cancel handler ran, only with auto run.
    EXPECT_EQ(dlg.m_nWorkerDone, bAutoRun ? 1 : 0);
    EXPECT_EQ(dlg.m_nCancels, bAutoRun ? 1 : 0);
    EXPECT_FALSE(dlg.m_bEventAtClose);
    // The worker signalled its event and dropped it.
    ASSERT_NE(hEventInStep, nullptr);
    EXPECT_TRUE(hEventInStep->IsSet());
    EXPECT_EQ(CThreadProcDlg::StopEvent(), nullptr);
    EXPECT_FALSE(IsDialogStopSignalled());
    EXPECT_FALSE(dlg.m_bBusyCleared);
    EXPECT_FALSE(g_bWorkerBusy);
  }
}

// The user cancels while the fourth step runs a long operation that sends progress as the GUI
// receives it (blocking calls answered on the UI thread). Stopping must answer those sends and
// the closing call while it waits, and no step may start after the stop.
TEST(TaskRunnerDialog, CancelDuringLongStepStopsBeforeNextStep) {
  CUiQueue ui;
  CQueueWindow window(ui);
  std::atomic<bool> bSawStop{false};
  CTestDlg dlg(
      true,
      [&](CTestDlg& self) {
        if (self.m_nSteps < 4) return false;
        for (uint64_t nUnit = 0;; ++nUnit) {
          if (IsDialogStopSignalled()) {
            bSawStop = true;
            return false;
          }
          if (nUnit % 64 == 0) SendProgress(&window, WM_SCANPROGRESS, SCAN_POSITION, static_cast<int64_t>(nUnit));
        }
      },
      &ui);
  dlg.OnInitDialog();
  ui.PumpUntil([&] { return window.m_nHandled >= 3; });
  EXPECT_TRUE(g_bWorkerBusy);
  EXPECT_FALSE(IsDialogStopSignalled());

  dlg.OnCancel();  // the user's Cancel, on the UI thread

  EXPECT_TRUE(bSawStop);
  EXPECT_EQ(dlg.m_nSteps, 4);
  EXPECT_EQ(window.m_nHandled, window.m_nSent);
  EXPECT_EQ(dlg.m_nWorkerDone, 1);
  EXPECT_EQ(dlg.m_nCancels, 2);  // the user's, then the closing call's (which must not wait)
  EXPECT_FALSE(dlg.m_bEventAtClose);
  EXPECT_GT(dlg.m_nPumps, 0);
  EXPECT_EQ(CThreadProcDlg::StopEvent(), nullptr);
  EXPECT_FALSE(IsDialogStopSignalled());
  EXPECT_FALSE(g_bWorkerBusy);
}

TEST(TaskRunnerDialog, StopThreadOnIdleRunner) {
  CTestDlg dlg(false, [](CTestDlg&) { return true; });
  EXPECT_TRUE(dlg.StopThread());
  EXPECT_TRUE(dlg.StopThread());
  EXPECT_EQ(CThreadProcDlg::StopEvent(), nullptr);
  EXPECT_EQ(dlg.m_nPumps, 0);  // nothing to wait for
  EXPECT_FALSE(IsDialogStopSignalled());
  EXPECT_EQ(dlg.m_nSteps, 0);
}

// A step may stop its own runner; that must neither wait for nor join itself. A new start
// from inside the worker is refused.
TEST(TaskRunnerDialog, StopFromOwnStep) {
  std::atomic<bool> bStarted{true};
  CTestDlg dlg(false, [&](CTestDlg& self) {
    EXPECT_TRUE(self.StopThread());
    bStarted = self.StartThread();
    return false;
  });
  ASSERT_TRUE(dlg.StartThread());
  dlg.m_stepReturned.Wait();
  dlg.StopThread();
  EXPECT_FALSE(bStarted);
  EXPECT_EQ(dlg.m_nSteps, 1);
  EXPECT_EQ(CThreadProcDlg::StopEvent(), nullptr);
}

// The search pane starts one search after another; each run gets its own event, and a start
// while a run is still going stops that run first.
TEST(TaskRunnerDialog, ConsecutiveRunsGetFreshEvents) {
  std::shared_ptr<const CEvent> hRunEvent;
  bool bSignalledAtStart = true;
  std::atomic<int> nActive{0};
  std::atomic<int> nMaxActive{0};
  CEvent entered;
  CTestDlg dlg(false, [&](CTestDlg&) {
    const int nNow = ++nActive;
    nMaxActive = std::max(nMaxActive.load(), nNow);
    hRunEvent = CThreadProcDlg::StopEvent();
    bSignalledAtStart = hRunEvent->IsSet();
    entered.Set();
    ScanUntilDialogStop();
    --nActive;
    return false;
  });
  // Waits for the run's step to begin; the worker writes hRunEvent before it sets entered.
  auto startRun = [&](auto&& fnStart) {
    entered.Reset();
    fnStart();
    entered.Wait();
    EXPECT_FALSE(bSignalledAtStart);
    return hRunEvent;
  };

  std::shared_ptr<const CEvent> hFirst = startRun([&] { EXPECT_TRUE(dlg.StartThread()); });
  dlg.StopThread();
  EXPECT_TRUE(hFirst->IsSet());
  EXPECT_EQ(CThreadProcDlg::StopEvent(), nullptr);

  std::shared_ptr<const CEvent> hSecond = startRun([&] { EXPECT_TRUE(dlg.StartThread()); });
  EXPECT_NE(hSecond, hFirst);
  // A dialog built while the worker runs leaves the class's handles alone.
  {
    CTestDlg other(true, [](CTestDlg&) { return true; });
    EXPECT_EQ(CThreadProcDlg::StopEvent(), hSecond);
    EXPECT_FALSE(IsDialogStopSignalled());
    std::shared_ptr<const CEvent> hThird = startRun([&] { EXPECT_TRUE(dlg.StartThread()); });
    EXPECT_TRUE(hSecond->IsSet());
    EXPECT_NE(hThird, hSecond);
    EXPECT_NE(hThird, hFirst);
    EXPECT_EQ(CThreadProcDlg::StopEvent(), hThird);
  }  // its destructor stops the class's worker: the state is class-wide
  EXPECT_EQ(CThreadProcDlg::StopEvent(), nullptr);
  EXPECT_EQ(dlg.m_nSteps, 3);
  EXPECT_EQ(nMaxActive, 1);
  EXPECT_FALSE(g_bWorkerBusy);
}

class CTestPage : public CThreadPropertyPage {
 public:
  using FStep = std::function<bool(CTestPage&)>;
  explicit CTestPage(FStep fnStep) : m_fnStep(std::move(fnStep)) {}
  ~CTestPage() override { StopThread(); }
  bool ThreadStep() override {
    ++m_nSteps;
    if (g_bWorkerBusy) m_bSawBusy = true;
    const bool bComplete = m_fnStep(*this);
    m_stepReturned.Set();
    return bComplete;
  }
  FStep m_fnStep;
  std::atomic<int> m_nSteps{0};
  std::atomic<bool> m_bSawBusy{false};
  CEvent m_stepReturned;
};

// The saving page's worker: calls its step until the step sets m_bDone, leaves the worker-busy
// flag alone, and drops its event at the end.
TEST(TaskRunnerPage, RunsUntilDone) {
  std::shared_ptr<const CEvent> hEventInStep;
  CEvent finished;
  CTestPage page([&](CTestPage& self) {
    hEventInStep = CThreadPropertyPage::StopEvent();
    if (self.m_nSteps == 3) {
      self.m_bDone = true;
      finished.Set();
    }
    return self.m_bDone;
  });
  EXPECT_FALSE(page.m_bDone);
  ASSERT_TRUE(page.StartThread());
  finished.Wait();
  EXPECT_TRUE(page.StopThread());
  EXPECT_TRUE(page.m_bDone);
  EXPECT_EQ(page.m_nSteps, 3);
  EXPECT_FALSE(page.m_bSawBusy);
  ASSERT_NE(hEventInStep, nullptr);
  EXPECT_TRUE(hEventInStep->IsSet());
  EXPECT_EQ(CThreadPropertyPage::StopEvent(), nullptr);
  EXPECT_EQ(CThreadProcDlg::StopEvent(), nullptr);
}

// Stopping the page runner leaves the dialog runner's worker going, and the reverse.
TEST(TaskRunnerPage, StopEventsAreDistinct) {
  CTestDlg dlg(false, [](CTestDlg&) { return !ScanUntilDialogStop(); });
  CTestPage page([](CTestPage&) {
    while (!IsPageStopSignalled()) std::this_thread::yield();
    return true;
  });
  CEvent dlgEntered, pageEntered;
  dlg.m_fnStep = [&, fnScan = dlg.m_fnStep](CTestDlg& self) {
    dlgEntered.Set();
    return fnScan(self);
  };
  page.m_fnStep = [&, fnSave = page.m_fnStep](CTestPage& self) {
    pageEntered.Set();
    return fnSave(self);
  };
  ASSERT_TRUE(dlg.StartThread());
  ASSERT_TRUE(page.StartThread());
  dlgEntered.Wait();
  pageEntered.Wait();
  EXPECT_NE(CThreadProcDlg::StopEvent(), CThreadPropertyPage::StopEvent());

  page.StopThread();
  EXPECT_EQ(page.m_nSteps, 1);
  EXPECT_EQ(CThreadPropertyPage::StopEvent(), nullptr);
  EXPECT_FALSE(IsDialogStopSignalled());
  EXPECT_FALSE(dlg.m_stepReturned.IsSet());  // its scan only returns on its own event
  ASSERT_NE(CThreadProcDlg::StopEvent(), nullptr);
  EXPECT_FALSE(CThreadProcDlg::StopEvent()->IsSet());

  // Restart the page, then stop the dialog the way the command line does on Ctrl-C.
  pageEntered.Reset();
  page.m_stepReturned.Reset();
  ASSERT_TRUE(page.StartThread());
  pageEntered.Wait();
  SignalDialogStop();
  dlg.m_stepReturned.Wait();
  EXPECT_FALSE(IsPageStopSignalled());
  EXPECT_FALSE(page.m_stepReturned.IsSet());
  dlg.StopThread();
  EXPECT_EQ(dlg.m_nSteps, 1);
  EXPECT_FALSE(IsPageStopSignalled());
  ASSERT_NE(CThreadPropertyPage::StopEvent(), nullptr);
  EXPECT_FALSE(CThreadPropertyPage::StopEvent()->IsSet());
  page.StopThread();
  EXPECT_EQ(page.m_nSteps, 2);
}

}  // namespace
