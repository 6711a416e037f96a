// Runs a long operation on the dialog runner's worker while the main thread watches
// for Ctrl-C, which signals the runner's stop event.
#pragma once

#include <functional>

// Runs work (which polls the dialog runner's stop event through the operation it calls)
// on a worker; answers work's result. *stopped tells whether Ctrl-C was pressed.
bool RunStoppable(const std::function<bool()>& work, bool* stopped);
// The same on the page runner's worker (saving), whose stop event the file writers poll.
bool RunStoppablePage(const std::function<bool()>& work, bool* stopped);
