#include "cli/Interrupt.h"

#include <csignal>
#include <unistd.h>

#include "platform/TempFiles.h"

namespace {
volatile sig_atomic_t g_nInterrupts = 0;

void OnInterrupt(int) {
  if (++g_nInterrupts > 1) {
    tempfiles::RemoveReservedFilesNow();
    ::_exit(130);
  }
  static const char msg[] = "\nStopping at the next unit (Ctrl-C again to quit at once)...\n";
  (void)!::write(2, msg, sizeof msg - 1);
}
}  // namespace

void InstallInterruptHandler() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool Interrupted() { return g_nInterrupts > 0; }
