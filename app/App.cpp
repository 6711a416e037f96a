#include "app/App.h"

#include "platform/BadAreas.h"
#include "platform/DeviceAccess.h"
#include "platform/Text.h"
#include "settings/Language.h"

namespace {
CKelvoApp* g_pApp = nullptr;
}

CKelvoApp::CKelvoApp() {
  if (!g_pApp) g_pApp = this;
}

CKelvoApp::~CKelvoApp() {
  m_tempNames.Release();
  if (g_pApp == this) g_pApp = nullptr;
}

bool CKelvoApp::InitCore(std::string* error, const std::function<void()>& afterSettings) {
  LoadSettings(m_settings);
  SetBadSectorPolicy(PolicyFromSettings(m_settings));
  ChooseLanguageFile(m_settings.Language);
  // The access messages of the device layer come from the language file as well.
  devaccess::SetTextLookup([](const char* key, const char* english) {
    return text::ToUtf8(GetString(key, text::FromUtf8(english)));
  });
  if (afterSettings) afterSettings();
  if (!m_tempNames.Reserve()) {
    if (error) *error = "cannot create temporary files in " + tempfiles::TempDirectory();
    return false;
  }
  return true;
}

CKelvoApp& TheApp() {
  if (g_pApp) return *g_pApp;
  static CKelvoApp s_default;
  return s_default;
}
