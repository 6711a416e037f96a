// The user guide window: Media/guide.htm of the data folder, shown in a browser window that
// stays open beside the main window (not modal).
#pragma once

#include <QString>
#include <QWidget>

class QTextBrowser;

class CHelpViewer : public QWidget {
  Q_OBJECT
 public:
  explicit CHelpViewer(QWidget* parent = nullptr);

  // Shows the guide at path; when it cannot be read, a message naming the path instead.
  // Answers whether the guide was loaded.
  bool ShowGuide(const QString& path);

  QTextBrowser* m_pBrowser = nullptr;
  QString m_strPath;      // the guide asked for
  bool m_bLoaded = false; // whether it was found and shown
};

// Where the guide is looked for: Media/guide.htm in the data folder (platform/DataDirectory.h).
QString HelpGuidePath();

// Opens the guide window for the guide at path, or brings the open one to the front (showing
// path in it); answers the window.
CHelpViewer* OpenHelpWindow(const QString& path, QWidget* parent = nullptr);

// The "Help Topics" command: the guide window for HelpGuidePath().
void ShowHelpTopics(QWidget* parent);
