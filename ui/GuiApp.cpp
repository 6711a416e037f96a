#include "ui/GuiApp.h"

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
