#include "support/GuiTest.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <stdexcept>

#include "app/Document.h"
#include "deepscan/FileTypes.h"

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!pred()) {
    if (deadline.hasExpired()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QApplication::sendPostedEvents();
  }
  return true;
}

static QString Plain(QString s) { return s.remove(QLatin1Char('&')).trimmed(); }

struct CMessageBoxAnswerer::Impl {
  QStringList answers;
  QStringList seen;
  QStringList defaults;
  QTimer timer;
  QPointer<QMessageBox> handled;
};

CMessageBoxAnswerer::CMessageBoxAnswerer(QStringList answers) : m(std::make_unique<Impl>()) {
  m->answers = std::move(answers);
  m->timer.setInterval(20);
  QObject::connect(&m->timer, &QTimer::timeout, [impl = m.get()] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible() || box == impl->handled || impl->answers.isEmpty()) return;
    for (QAbstractButton* b : box->buttons()) {
      if (Plain(b->text()).compare(Plain(impl->answers.front()), Qt::CaseInsensitive) == 0) {
        impl->handled = box;
        impl->seen << box->text();
        impl->defaults << (box->defaultButton() ? Plain(box->defaultButton()->text()) : QString());
        impl->answers.pop_front();
        b->click();
        return;
      }
    }
  });
  m->timer.start();
}

CMessageBoxAnswerer::~CMessageBoxAnswerer() = default;
const QStringList& CMessageBoxAnswerer::Seen() const { return m->seen; }
const QStringList& CMessageBoxAnswerer::Defaults() const { return m->defaults; }
int CMessageBoxAnswerer::Remaining() const { return int(m->answers.size()); }

void WhenModalShown(const std::function<bool(QWidget*)>& isIt, const std::function<void(QWidget*)>& action,
                    int timeoutMs) {
  auto* timer = new QTimer(qApp);
  auto deadline = std::make_shared<QDeadlineTimer>(timeoutMs);
  timer->setInterval(20);
  QObject::connect(timer, &QTimer::timeout, [timer, deadline, isIt, action] {
    QWidget* w = QApplication::activeModalWidget();
    if (w && w->isVisible() && isIt(w)) {
      timer->stop();
      timer->deleteLater();
      action(w);
    } else if (deadline->hasExpired()) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start();
}

std::unique_ptr<CKelvoDoc> MakeImageDocument(const QStringList& images) {
  auto doc = std::make_unique<CKelvoDoc>(false);
  for (const QString& path : images) {
    std::string error;
    if (!doc->AddDiskImage(path.toStdString(), &error)) throw std::runtime_error(error);
  }
  doc->EnumerateVolumes();
  doc->EnumerateVirtualVolumes();
  doc->EnumerateDisks();
  return doc;
}

QString SaveScreenshot(QWidget* widget, const QString& name) {
  QDir().mkpath(QStringLiteral(QUARROW_ARTIFACT_DIR));
  QString path = QStringLiteral(QUARROW_ARTIFACT_DIR "/") + name + QStringLiteral(".png");
  widget->grab().save(path);
  return path;
}

bool FlagsAreDefaults(CLogicalDriver& volume) {
  CLogicalDriver expected;
  SetDefaultScanFlags(expected);
  for (const NamedFlag& f : ScanFlags())
    if (volume.*(f.pFlag) != expected.*(f.pFlag)) return false;
  return true;
}

QStringList TakeJobSummaries() {
  QStringList texts;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box || box->objectName() != QStringLiteral("jobSummary") || !box->isVisible()) continue;
    texts << box->text() + QLatin1Char('\n') + box->informativeText();
    box->close();
  }
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return texts;
}
