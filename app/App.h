// The application state shared by the core's layers: the settings block, the
// document, and the reserved temporary names. The front ends create one CKelvoApp and
// register it; the GUI adds its panes on its own side.
#pragma once

#include <functional>

#include "settings/Settings.h"
#include "platform/TempFiles.h"

class CKelvoDoc;

class CKelvoApp {
 public:
  CKelvoApp();
  ~CKelvoApp();
  CKelvoApp(const CKelvoApp&) = delete;
  CKelvoApp& operator=(const CKelvoApp&) = delete;

  // Start-up of the core: loads the settings, chooses the language file, runs
  // afterSettings (the GUI's update check) and reserves the temporary names. False (with
  // *error) when the temporary files cannot be made.
  bool InitCore(std::string* error, const std::function<void()>& afterSettings = {});

  CKelvoDoc* m_pDoc = nullptr;  // set by the document's constructor
  // Handles pending user-interface events while the document waits for a worker at its
  // destruction, so that the worker's synchronous sends are answered; the GUI sets it.
  std::function<void()> m_pumpMessages;
  CSettings m_settings;
  tempfiles::CReservedTempNames m_tempNames;
};

// The registered application object; a default one when none was created, so that
// the core's defaults hold in tests and tools.
CKelvoApp& TheApp();
