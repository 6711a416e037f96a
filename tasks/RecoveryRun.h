// One recovery run: selected items saved into a destination folder.
//
// The GUI's recovery wizard, `quarrow-cli recover` and `quarrow-cli deepscan --to` all
// save through this one run, so the destination, the count, the save and what is reported
// back behave alike whichever front end asks. A run goes through its steps in order:
//
//   CountFiles       files below the items (the wizard's "Calculating files count...")
//   OpenDestination  the destination folder, created as the policy allows
//   Save             every item, through tree/Save.h, asking the prompts when a name exists
//
// and its result lists what was written and what failed. Nothing here shows anything:
// the front ends turn the result into messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tree/DirEntry.h"
#include "tree/Save.h"

class IProgressWindow;

// How the destination folder comes to exist.
enum class DestinationPolicy {
  MustExist,     // it must be there already (recover)
  CreateFolder,  // made when missing; its parent must exist (deepscan --to)
  CreatePath,    // made with every missing parent (the wizard: a path typed by the user)
};

struct RecoveryResult {
  int64_t nTotalFiles = 0;            // counted before saving
  bool bStopped = false;              // a stop ended the run early
  bool bSourceGone = false;           // ...because the source stopped answering (unplugged)
  std::string strDestinationError;    // why the destination could not be used (nothing saved)
  std::vector<std::string> written;   // files written whole (paths below the destination)
  std::vector<std::string> failed;    // items not written whole, with the save's paths
  std::string strEndReason;           // why the run ended early without a stop: the destination
                                      // full, or the output limit reached (tree/Save.h)
  uint64_t nBytesWritten = 0;         // the sizes of the files written
  uint64_t nSharedFiles = 0;          // files whose clusters were written for another file before
  bool Complete() const {
    return !bStopped && strDestinationError.empty() && strEndReason.empty() && failed.empty();
  }
};

class CRecoveryRun {
 public:
  CRecoveryRun(std::vector<CDirEntry*> items, std::string destination, DestinationPolicy policy);
  ~CRecoveryRun();
  CRecoveryRun(const CRecoveryRun&) = delete;
  CRecoveryRun& operator=(const CRecoveryRun&) = delete;

  // Counts the files below the items (a file counts one, a folder what CountFiles finds).
  // False when stopped (with a progress window, at the dialog runner's stop event).
  bool CountFiles(IProgressWindow* progress);
  // Makes and opens the destination as the policy says; false with the reason in the
  // result.
  bool OpenDestination();
  // Saves every item into the destination (OpenDestination first). With a progress window
  // the page runner's stop event is polled: a stop ends the run after the file being
  // written. False when stopped.
  bool Save(IProgressWindow* progress, ISavePrompts* prompts);

  // Replaces the items (before CountFiles; the destination may be opened already).
  void SetItems(std::vector<CDirEntry*> items) { m_items = std::move(items); }
  // The most the run may write; by default four times the size of the largest volume the
  // items come from. 0 writes without a limit.
  void SetOutputLimit(uint64_t bytes) {
    m_nOutputLimit = bytes;
    m_bLimitSet = true;
  }

  // Every file written or failed gets a line in report (not owned; null: none).
  void SetReport(CSaveReport* report) { m_pReport = report; }

  const RecoveryResult& Result() const { return m_result; }
  const std::string& Destination() const { return m_strDestination; }

 private:
  std::vector<CDirEntry*> m_items;
  std::string m_strDestination;
  DestinationPolicy m_policy;
  int m_dirFd = -1;
  uint64_t m_nOutputLimit = 0;
  bool m_bLimitSet = false;
  CSaveReport* m_pReport = nullptr;
  RecoveryResult m_result;
};

// Creates path and its missing parents (as mkdir -p). False with *error naming the folder
// that could not be made and why.
bool MakeFolderPath(const std::string& path, std::string* error);
