#include "ui/GuiApp.h"

#include <QApplication>

#include "app/App.h"
#include "settings/Settings.h"

namespace {
FolderChangeListener g_listener;
}

CGuiApp& GuiApp() {
  static CGuiApp app;
  return app;
}

void StopRunningSearch() {
  if (GuiApp().m_stopSearch) GuiApp().m_stopSearch();
}

void SetFolderChangeListener(FolderChangeListener listener) { g_listener = std::move(listener); }

void BeginFolderChange(CDirectory* folder) {
  if (g_listener.begin) g_listener.begin(folder);
}
void EndFolderChange(CDirectory* folder) {
  if (g_listener.end) g_listener.end(folder);
}
void NotifyFolderGrew(CDirectory* folder) {
  if (g_listener.grew) g_listener.grew(folder);
}

void SaveSettingsOrWarn() {
  std::string error;
  if (!SaveSettings(TheApp().m_settings, SettingsFilePath(), &error))
    qWarning("The settings could not be written: %s", error.c_str());
}

CWaitCursor::CWaitCursor() {
  if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_bSet = true;
  }
}

CWaitCursor::~CWaitCursor() {
  if (m_bSet) QApplication::restoreOverrideCursor();
}
