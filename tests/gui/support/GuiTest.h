// Helpers of the GUI tests: waiting for the GUI to reach a state while its event loop runs,
// and answering the modal message boxes a test provokes.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QWidget;
class CKelvoDoc;
class CLogicalDriver;

// Whether every deep-scan type flag of the volume has the catalogue's default.
bool FlagsAreDefaults(CLogicalDriver& volume);

// Runs the event loop until pred() is true or timeoutMs have passed; answers pred().
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 60000);

// Answers message boxes as they come up, in order: each answer is the text of the button
// to press (mnemonic '&' ignored, case-insensitive). The texts of the boxes seen are
// collected in Seen(). Lives while the object lives; install it before the action that
// brings the boxes up.
class CMessageBoxAnswerer {
 public:
  explicit CMessageBoxAnswerer(QStringList answers);
  ~CMessageBoxAnswerer();
  const QStringList& Seen() const;
  // The default button's text (without '&') of each box answered, in order.
  const QStringList& Defaults() const;
  // Answers not used yet.
  int Remaining() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m;
};

// Runs action on the GUI thread once the next modal dialog of type T is shown (polled),
// while the caller goes on (for example into exec()). timeoutMs bounds the watch.
void WhenModalShown(const std::function<bool(QWidget*)>& isIt, const std::function<void(QWidget*)>& action,
                    int timeoutMs = 60000);

// A document over the given image files only (no system devices), with its lists filled.
std::unique_ptr<CKelvoDoc> MakeImageDocument(const QStringList& images);

// Saves a screenshot of the widget as QUARROW_ARTIFACT_DIR/<name>.png; answers the path.
QString SaveScreenshot(QWidget* widget, const QString& name);

// The job summaries (ui/JobSummary.h) now shown, each as its text, a line
// break and its informative text; closes them.
QStringList TakeJobSummaries();
