// The background task runners on Qt: a modal dialog (CTaskDialog) and a wizard page
// (CTaskPage) that run a worker through the Qt-free runner bases and receive its progress.
//
// A worker reports through IProgressWindow::Send, which each of these implements as a
// blocking queued call onto the GUI thread: the worker waits until OnProgress has run
// there. Waiting for a worker (StopThread) pumps GUI events, so such a send is answered
// even while the GUI thread waits, and never deadlocks. Once the widget is closing,
// IsWindow() answers false and no further message reaches it; a call still queued when the
// widget is destroyed is dropped and the worker resumes.
//
// Subclasses that override ThreadStep must call StopThread() in their own destructor, so
// that the worker has ended before their members go.
#pragma once

#include <QDialog>
#include <QWizardPage>
#include <atomic>
#include <cstdint>
#include <functional>

#include "tasks/Progress.h"
#include "tasks/TaskRunner.h"

// Runs fn on the thread of context and waits for it: at once when called there, otherwise
// as a blocking queued call. Answers fn's result, or 0 when the call was dropped because
// context went away first.
int64_t CallOnGuiThread(QObject* context, const std::function<int64_t()>& fn);

// Handles pending GUI events without blocking; false when the application is ending.
bool PumpGuiEvents();

class CTaskDialog : public QDialog, public CThreadProcDlg, public IProgressWindow {
  Q_OBJECT
 public:
  CTaskDialog(bool bAutoRun, QWidget* parent);
  ~CTaskDialog() override;

  // IProgressWindow: the worker's sends reach OnProgress on the GUI thread.
  bool IsWindow() const override { return m_bAlive.load(); }
  int64_t Send(uint32_t message, uint64_t wParam, int64_t lParam) override;

  // CThreadProcDlg's window side.
  bool IsWindowAlive() const override { return m_bAlive.load(); }
  void OnWorkerDone() override;
  void OnTaskClose() override;
  bool PumpMessages() override { return PumpGuiEvents(); }
  // The cancel handler: stops the worker, then ends the modal loop with the cancel result.
  // Subclasses that leave the stop to their destructor override it with PlainCancel().
  void OnCancel() override;
  // Ends the modal loop with the cancel result without stopping the worker.
  void PlainCancel();

  // Every way of closing (Cancel, Escape, the close box, the worker's closing call) ends
  // in OnCancel.
  void reject() override;

 protected:
  // A worker's message, on the GUI thread, while the dialog is open.
  virtual int64_t OnProgress(uint32_t message, uint64_t wParam, int64_t lParam) { return 0; }
  void showEvent(QShowEvent* event) override;

 private:
  std::atomic<bool> m_bAlive{true};
  bool m_bStarted = false;
};

class CTaskPage : public QWizardPage, public CThreadPropertyPage, public IProgressWindow {
  Q_OBJECT
 public:
  explicit CTaskPage(QWidget* parent = nullptr);
  ~CTaskPage() override;

  bool IsWindow() const override { return m_bAlive.load(); }
  int64_t Send(uint32_t message, uint64_t wParam, int64_t lParam) override;
  bool PumpMessages() override { return PumpGuiEvents(); }

 protected:
  // A worker's message, on the GUI thread, while the page exists.
  virtual int64_t OnProgress(uint32_t message, uint64_t wParam, int64_t lParam) { return 0; }
  // Marks the page as gone for the worker's sends (the destructor does it too).
  void DetachFromWorker() { m_bAlive.store(false); }

 private:
  std::atomic<bool> m_bAlive{true};
};
