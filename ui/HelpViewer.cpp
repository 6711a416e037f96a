#include "ui/HelpViewer.h"
#include "ui/UiText.h"

#include <QFileInfo>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "platform/DataDirectory.h"
#include "ui/Icons.h"

CHelpViewer::CHelpViewer(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("helpViewer"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(Tr("IDS_UI_TARNWELL_QUARROW_HELP", u"Tarnwell Quarrow Help"));
  setWindowIcon(icons::Program());
  m_pBrowser = new QTextBrowser(this);
  m_pBrowser->setObjectName(QStringLiteral("helpBrowser"));
  // Links to web pages open in the desktop's browser; links inside the guide stay here.
  m_pBrowser->setOpenExternalLinks(true);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(m_pBrowser);
  resize(720, 640);
}

bool CHelpViewer::ShowGuide(const QString& path) {
  m_strPath = path;
  const QFileInfo info(path);
  m_bLoaded = info.isFile() && info.isReadable();
  if (m_bLoaded) {
    m_pBrowser->setSearchPaths({info.absolutePath()});
    m_pBrowser->setSource(QUrl::fromLocalFile(info.absoluteFilePath()));
    m_bLoaded = !m_pBrowser->document()->isEmpty();
  }
  if (!m_bLoaded) {
    m_pBrowser->clearHistory();
    m_pBrowser->setHtml(Tr("IDS_UI_H3_THE_USER_GUIDE_WAS_NOT", u"<h3>The user guide was not found</h3>"
                                       u"<p>It should be in the file <code>%1</code>, which is installed with the "
                                       u"program. Reinstalling the program restores it.</p>")
                            .arg(path.toHtmlEscaped()));
  }
  return m_bLoaded;
}

QString HelpGuidePath() {
  return QString::fromStdString(datadir::DataDirectory()) + QStringLiteral("/Media/guide.htm");
}

CHelpViewer* OpenHelpWindow(const QString& path, QWidget* parent) {
  // One guide window at a time; it closes (and is destroyed) on its own.
  static QPointer<CHelpViewer> s_pViewer;
  if (!s_pViewer) s_pViewer = new CHelpViewer(parent);
  if (s_pViewer->m_strPath != path || !s_pViewer->m_bLoaded) s_pViewer->ShowGuide(path);
  s_pViewer->show();
  s_pViewer->raise();
  s_pViewer->activateWindow();
  return s_pViewer;
}

void ShowHelpTopics(QWidget* parent) { OpenHelpWindow(HelpGuidePath(), parent); }
