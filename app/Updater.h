// Starting the external updater program. The program only starts it; it never waits
// for it or reads anything back.
#pragma once

// Starts "UpdateManager" (found on PATH), with the argument "q" when quiet, as a
// detached process. Answers whether it was started; a missing program changes nothing.
bool RunUpdater(bool quiet);
