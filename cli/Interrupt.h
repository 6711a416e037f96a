// Ctrl-C handling of the command line: the first Ctrl-C asks the running operation to
// stop at its next unit (what was found or written so far is kept); a second one ends
// the program at once.
#pragma once

// Installs the SIGINT and SIGTERM handlers.
void InstallInterruptHandler();
// Whether Ctrl-C was pressed.
bool Interrupted();
