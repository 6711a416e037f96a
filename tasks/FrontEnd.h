// What the core asks of whichever front end runs it, beside the progress windows of
// single operations (tasks/Progress.h).
//
// Three moments of the core's work need the front end: a results folder that was never
// filled is opened (the GUI runs the deep-scan wizard; the command line scans on its own
// terms), an NTFS volume must read its MFT before its first folder lists (the GUI shows a
// dialog, the command line a progress line), and a carved file or lost folder has just
// been added to a results folder (the GUI's list grows while a scan runs). One object
// answers all three; without one, the core's defaults hold: no deep scan, the MFT read
// silently, nobody told.
#pragma once

#include <functional>

class CDirectory;
class CNTFSDriver;

class IFrontEndHooks {
 public:
  virtual ~IFrontEndHooks() = default;
  // An unfilled results folder ("LostFiles") was opened. Nothing here.
  virtual void RunDeepScan(CDirectory* resultsFolder);
  // The volume's MFT must be read now (volume->m_bMftLoaded is false): reads it with the
  // front end's progress display and answers true, whether or not the read completed (a
  // user may cancel it). False here: the volume then reads it without progress.
  virtual bool ReadMft(CNTFSDriver* volume);
  // A node was appended to a results folder. Runs on the scanning thread. Nothing here.
  virtual void ResultsFolderGrew(CDirectory* resultsFolder);
  // Nodes already in a results folder are to be changed (carved files named after a lost
  // folder found later): runs change where no one reads those nodes meanwhile (the GUI's
  // thread, while the scanning thread waits), then lets the folder's viewers know. Here it
  // runs change at once.
  virtual void ChangeResults(CDirectory* resultsFolder, const std::function<void()>& change);
};

// Installs the front end's hooks (not owned; null restores the defaults). Set once by a
// front end at start, before any worker runs.
void SetFrontEndHooks(IFrontEndHooks* hooks);
// The installed hooks, or the defaults.
IFrontEndHooks& FrontEndHooks();
