// The progress protocol between long operations and the window that shows them.
//
// A long operation (a scan, a search, a save) is given a pointer to a progress window;
// null means "no progress window": the operation then neither polls a stop event nor
// sends anything. Every send is synchronous and is skipped when the window no longer
// exists. The GUI implements the window on its widgets (a blocking queued call onto
// the GUI thread); the command line implements it as a progress line on stderr.
#pragma once

#include <cstdint>

// Message numbers of the protocol, fixed once here.
enum : uint32_t {
  WM_USER = 0x0400,
  WM_TASKCLOSE = WM_USER + 500,     // 1524: the dialog runner's worker has ended
  WM_SEARCHHIT = WM_USER + 501,     // 1525: wParam running counter, lParam the node found
  WM_SCANPROGRESS = WM_USER + 510,  // 1534: wParam 0 started, 1 units being scanned, 2 position in lParam
  WM_FILEPROGRESS = WM_USER + 511,  // 1535: wParam 0 size in lParam, 1 bytes written so far in lParam
  WM_FILEDONE = WM_USER + 512,      // 1536: one more file is complete
};

// wParam values of WM_SCANPROGRESS.
enum : uint64_t { SCAN_STARTED = 0, SCAN_UNITS = 1, SCAN_POSITION = 2 };
// wParam values of WM_FILEPROGRESS.
enum : uint64_t { FILE_SIZE = 0, FILE_WRITTEN = 1 };

class IProgressWindow {
 public:
  virtual ~IProgressWindow() = default;
  // Whether the receiving window still exists.
  virtual bool IsWindow() const = 0;
  // Delivers a message and returns when the receiver has handled it.
  virtual int64_t Send(uint32_t message, uint64_t wParam, int64_t lParam) = 0;
};

// Sends only when a window is given and still exists, as every sender must.
inline void SendProgress(IProgressWindow* window, uint32_t message, uint64_t wParam, int64_t lParam) {
  if (window && window->IsWindow()) window->Send(message, wParam, lParam);
}
