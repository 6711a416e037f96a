// The background task runners: a long operation (a scan, a search, a save) runs on one
// worker thread that calls a virtual work step over and over, while the user-interface
// thread stays free and can stop it.
//
// Two runner kinds exist, each with CLASS-WIDE state (one stop event, one worker thread), so
// at most one worker of each kind runs at a time:
//   CThreadProcDlg       the progress dialogs and the search pane; their operations poll
//                        IsDialogStopSignalled()
//   CThreadPropertyPage  the saving page of the recovery wizard; its operations poll
//                        IsPageStopSignalled()
// The two stop events are distinct: stopping one kind never stops the other.
//
// Lifecycle of one runner kind:
//   idle      no event; no thread, or a finished one not yet joined
//   running   event unsignalled; the worker calls ThreadStep until it returns true
//   stopping  event signalled (StopThread, SignalDialogStop); the step returns at its next poll
//   finished  the worker signalled and dropped the event itself; its thread is joined by the
//             next StopThread or StartThread
// A new event is created by every StartThread, so a stop of one run never leaks into the next.
//
// These bases hold no widget. The GUI derives its dialogs and pages from them and supplies
// the window side through the virtual hooks below (IsWindowAlive, OnWorkerDone, OnTaskClose,
// OnCancel, PumpMessages). A subclass that overrides ThreadStep or PumpMessages must call
// StopThread in its own destructor: by the time the base destructor runs, the subclass's
// overrides are gone, and a worker must never call into a half-destroyed object.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "tasks/Event.h"
#include "tasks/StopEvents.h"

// Set while the dialog runner's worker runs (from before its first step until after its
// closing call); written by that worker only. The document's destruction waits, pumping
// events, while it is set. The page runner never touches it.
extern std::atomic<bool> g_bWorkerBusy;

// Signals the dialog runner's current stop event, if one exists; the running operation stops
// at its next poll and the worker ends without another step. For the command line's Ctrl-C
// handling on its main thread (not async-signal-safe: never call it from a signal handler).
void SignalDialogStop();
// Signals the page runner's stop event, if a worker is running (the program is ending).
void SignalPageStop();

// References to one runner kind's class-wide state; defined where the runners are.
struct CRunnerHandles;

class CThreadProcDlg {
 public:
  // bAutoRun: start the worker when the dialog opens (OnInitDialog) and close the dialog
  // (OnWorkerDone) when the worker ends. A running worker of this class is left untouched.
  explicit CThreadProcDlg(bool bAutoRun);
  // Stops the class's worker (see the note on subclasses above).
  virtual ~CThreadProcDlg();
  CThreadProcDlg(const CThreadProcDlg&) = delete;
  CThreadProcDlg& operator=(const CThreadProcDlg&) = delete;

  // The dialog's open handling: starts the worker when m_bAutoRun is set (a failed start
  // leaves the dialog open without progress). Returns true.
  virtual bool OnInitDialog();
  // The cancel handler: stops the worker. The GUI's override calls this, then ends the
  // modal loop with the cancel result. Subclasses may replace it with a plain cancel and
  // leave the stop to their destructor.
  virtual void OnCancel();

  // Starts a worker on this object with a fresh, unsignalled stop event. A worker of this
  // class that is still running is stopped first (StopThread), so two never overlap.
  // Returns false when the event or the thread cannot be created, or when called from the
  // worker itself or from inside its closing call (that worker cannot be waited for there).
  bool StartThread();
  // Signals the class's stop event and waits until the worker has ended, calling
  // PumpMessages between polls so that the worker's synchronous sends are answered; then
  // drops the event and joins the thread. Called on the worker itself, or from inside the
  // worker's closing call (AnswerTaskClose), it only signals: the worker ends by itself and
  // is joined later. On an idle runner it only joins a finished thread. Always true.
  bool StopThread();

  // One unit of the work, on the worker thread: true when the work is complete, false to
  // be called again. A long step polls IsDialogStopSignalled() between units and returns as
  // soon as it is true. The step must not throw. The base has no work and returns false.
  virtual bool ThreadStep();

  // Whether the receiving window still exists; the worker sends its closing call only then.
  // Called on the worker thread.
  virtual bool IsWindowAlive() const;
  // The worker's closing call (WM_TASKCLOSE, wParam 0, lParam 0): made on the worker thread
  // after its last step and after it has dropped the stop event, when m_bAutoRun is set and
  // IsWindowAlive() answers true. It must return only once the receiver has handled it. The
  // GUI implements it as a blocking queued call onto the GUI thread that runs
  // AnswerTaskClose() there. The default answers at once on the worker thread.
  virtual void OnWorkerDone();
  // The receiver's side of the closing call: runs OnTaskClose() marked as the answer to the
  // worker's closing call, so that the StopThread it leads to does not wait for the worker
  // that is itself waiting for this answer.
  void AnswerTaskClose();
  // The receiver's duty on the closing call: end the dialog through its cancel handler.
  virtual void OnTaskClose();
  // Handles the events waiting for the user-interface thread (the worker's sends among
  // them), without blocking. False means the application is ending: StopThread then stops
  // pumping and only waits. The base has no events and returns true.
  virtual bool PumpMessages();

  // The class's current stop event, or null when no worker has been started or the last one
  // has ended. Read-only: the event is signalled only through the runner.
  static std::shared_ptr<const CEvent> StopEvent();

  bool m_bAutoRun;

 private:
  friend struct CRunnerHandles;
  static void ThreadProc(CThreadProcDlg* pDlg, std::shared_ptr<CEvent> hStopEvent, std::shared_ptr<CEvent> hEnded);

  // Class-wide state, guarded by s_mutex (s_bStopSignalled is written under it and read
  // without it).
  static std::mutex s_mutex;
  static std::shared_ptr<CEvent> s_hStopEvent;  // null when idle or finished
  static std::thread s_hThread;                 // the worker; joinable until joined
  static std::shared_ptr<CEvent> s_hThreadEnded;  // set by the worker as its last act
  // Mirrors "s_hStopEvent exists and is signalled", so that the per-unit poll is one load.
  static std::atomic<bool> s_bStopSignalled;
};

class CThreadPropertyPage {
 public:
  // Clears m_bDone. A running worker of this class is left untouched.
  CThreadPropertyPage();
  // Stops the class's worker (see the note on subclasses above).
  virtual ~CThreadPropertyPage();
  CThreadPropertyPage(const CThreadPropertyPage&) = delete;
  CThreadPropertyPage& operator=(const CThreadPropertyPage&) = delete;

  // As CThreadProcDlg's, on the page runner's own event and thread. The page's worker sends
  // no closing call and never touches g_bWorkerBusy.
  bool StartThread();
  bool StopThread();

  // One unit of the work on the worker thread, as CThreadProcDlg's; a long step polls
  // IsPageStopSignalled(). The base has no work and returns false.
  virtual bool ThreadStep();
  // As CThreadProcDlg's.
  virtual bool PumpMessages();

  static std::shared_ptr<const CEvent> StopEvent();

  // Set and read by the subclass's work step; the page reacts to the end of the work itself.
  bool m_bDone;

 private:
  friend struct CRunnerHandles;
  static void ThreadProc(CThreadPropertyPage* pPage, std::shared_ptr<CEvent> hStopEvent, std::shared_ptr<CEvent> hEnded);

  static std::mutex s_mutex;
  static std::shared_ptr<CEvent> s_hStopEvent;
  static std::thread s_hThread;
  static std::shared_ptr<CEvent> s_hThreadEnded;
  static std::atomic<bool> s_bStopSignalled;
};
