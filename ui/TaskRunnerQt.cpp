#include "ui/TaskRunnerQt.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

// Qt orders a blocking queued call with its own futex locks, which ThreadSanitizer cannot
// see; under it the hand-over is declared, so that what the worker wrote before the call (a
// node it created) is known to be visible to the GUI thread, and the answer to the worker.
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define QUARROW_HANDOFF_RELEASE(p) __tsan_release(p)
#define QUARROW_HANDOFF_ACQUIRE(p) __tsan_acquire(p)
#else
#define QUARROW_HANDOFF_RELEASE(p) ((void)(p))
#define QUARROW_HANDOFF_ACQUIRE(p) ((void)(p))
#endif

int64_t CallOnGuiThread(QObject* context, const std::function<int64_t()>& fn) {
  if (!context) return 0;
  if (QThread::currentThread() == context->thread()) return fn();
  int64_t result = 0;
  QUARROW_HANDOFF_RELEASE(&result);
  // A queued call whose context is destroyed before it runs releases the waiting thread
  // without running; result then stays 0.
  QMetaObject::invokeMethod(
      context,
      [&result, &fn] {
        QUARROW_HANDOFF_ACQUIRE(&result);
        result = fn();
        QUARROW_HANDOFF_RELEASE(&result);
      },
      Qt::BlockingQueuedConnection);
  QUARROW_HANDOFF_ACQUIRE(&result);
  return result;
}

bool PumpGuiEvents() {
  if (QCoreApplication::closingDown()) return false;
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  return true;
}

// ---------------------------------------------------------------------------

CTaskDialog::CTaskDialog(bool bAutoRun, QWidget* parent) : QDialog(parent), CThreadProcDlg(bAutoRun) {}

CTaskDialog::~CTaskDialog() {
  m_bAlive.store(false);
  StopThread();
}

int64_t CTaskDialog::Send(uint32_t message, uint64_t wParam, int64_t lParam) {
  if (!m_bAlive.load()) return 0;
  return CallOnGuiThread(this, [this, message, wParam, lParam]() -> int64_t {
    return m_bAlive.load() ? OnProgress(message, wParam, lParam) : 0;
  });
}

void CTaskDialog::OnWorkerDone() {
  CallOnGuiThread(this, [this]() -> int64_t {
    if (m_bAlive.load()) AnswerTaskClose();
    return 0;
  });
}

void CTaskDialog::OnTaskClose() { OnCancel(); }

void CTaskDialog::OnCancel() {
  CThreadProcDlg::OnCancel();  // stops the worker (only signals from inside its closing call)
  PlainCancel();
}

void CTaskDialog::PlainCancel() { QDialog::done(QDialog::Rejected); }

void CTaskDialog::reject() { OnCancel(); }

void CTaskDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!m_bStarted) {
    m_bStarted = true;
    OnInitDialog();
  }
}

// ---------------------------------------------------------------------------

CTaskPage::CTaskPage(QWidget* parent) : QWizardPage(parent) {}

CTaskPage::~CTaskPage() {
  m_bAlive.store(false);
  StopThread();
}

int64_t CTaskPage::Send(uint32_t message, uint64_t wParam, int64_t lParam) {
  if (!m_bAlive.load()) return 0;
  return CallOnGuiThread(this, [this, message, wParam, lParam]() -> int64_t {
    return m_bAlive.load() ? OnProgress(message, wParam, lParam) : 0;
  });
}
