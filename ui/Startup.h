// The program's start-up and run, from after the QApplication exists to the end of its
// event loop; ui/main.cpp calls it, and the start-up test drives it.
#pragma once

#include <QStringList>

// In order: settings and the language file; the update check when AutoUpdate is on; the 27
// reserved temporary names; the document (the machine's devices unless includeSystem is
// false, then the images) and the main window, shown; the updater when a newer version
// exists; the welcome wizard when RecoveryWizard is on; the event loop. The reserved names
// are removed before it returns. SIGTERM, SIGHUP and SIGINT end it as Quit does (the reserved
// names removed at once). Answers the exit status.
int RunProgram(const QStringList& images, bool includeSystem);
