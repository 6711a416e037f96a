// Saving recovered files and folders into an ordinary folder.
//
// What is written for a file is exactly what its file system's WriteContent delivers
// (zeros it reports as such become holes); files and folders keep the modification and
// access times their file system recorded; no attributes are restored. Everything is written below
// the destination chosen by the user: files and folders are created relative to an open
// folder descriptor, never through a symbolic link, and a name that could escape or is
// not a file name is replaced by a safe one (SafeFileName).
#pragma once

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/RawDevice.h"
#include "tree/DirEntry.h"

class CSaveReport;

// Answers of the save prompts: replace this one, keep it, replace every one asked about from
// now on, keep every one from now on, or write the new one beside it as "NAME (2)".
enum class SaveAnswer { Yes, No, YesToAll, NoToAll, KeepBoth };

// The questions a save asks, and its error reports; the GUI shows message boxes, the
// command line answers from its --overwrite option.
class ISavePrompts {
 public:
  virtual ~ISavePrompts() = default;
  // The file name already exists at the destination.
  virtual SaveAnswer AskOverwriteFile(const std::u16string& name) = 0;
  // The folder already exists at the destination.
  virtual SaveAnswer AskReplaceFolder(const std::u16string& name) = 0;
  // An item could not be saved: what and why (a path and the system's reason).
  virtual void ReportError(const std::string& message) = 0;
};

// The answer flags of one save run, shared by every call of the run.
struct SaveRunState {
  bool bReplaceAllFolders = false;
  bool bOverwriteAllFiles = false;
  bool bKeepAllExisting = false;  // "No to All": existing files and folders are passed over
  // Items that failed (paths below the destination), for the caller's summary.
  std::vector<std::string> failed;
  // Files written whole (paths below the destination).
  std::vector<std::string> written;
  // Bytes of the files written so far (their sizes), and the most the run may write; 0: no
  // limit. A damaged volume whose entries all point at the same clusters would otherwise
  // turn a small volume into a flood of copies.
  uint64_t nBytesWritten = 0;
  uint64_t nOutputLimit = 0;
  // Why the run ended before its end when no stop was asked for: the destination is full
  // (or would be left with less than its margin), or the output limit was reached. Empty
  // otherwise.
  std::string strEndReason;
  // The source stopped answering (unplugged): the run ended at the file being written.
  bool bSourceGone = false;
  // The units written so far in this run, per volume (start -> end, merged), and how many
  // files shared some of them with a file written before (cross-linked entries): those are
  // written too, with the reason StatusReason::SharesClusters.
  std::map<const void*, std::map<uint64_t, uint64_t>> writtenUnits;
  uint64_t nSharedFiles = 0;
  // With a report, every file written or failed gets its line (with the SHA-256 of what was
  // written); not owned.
  CSaveReport* pReport = nullptr;
};

// The free space a save leaves on the destination's file system: 1% of its size or 100 MiB,
// whichever is smaller.
uint64_t DestinationMargin(uint64_t fileSystemBytes);

// The name an item is written under: its own name, except that "/" and NUL become "_",
// an empty name becomes "_", "." and ".." become "_." and "_..", and a name longer than
// 255 bytes in UTF-8 keeps its start and its extension within 255 bytes.
std::string SafeFileName(const std::u16string& name);

// Saves one file into the folder dirFd (a descriptor of the destination folder), as
// SafeFileName(file.m_strName). Answers false only when the run must end: stopped, the
// source stopped answering (state.bSourceGone), or state.strEndReason set (before a file that
// would leave the destination's file system less than its margin or take the run past its
// output limit, and when a write finds the destination full: that file is reported as
// incomplete); a file that fails otherwise is reported, recorded in state.failed, and the run
// goes on. A file with unreadable sectors is written whole with zeros there and reported as
// failed with the byte ranges.
bool SaveFileTo(CFSFile& file, int dirFd, const std::string& dirPath, IProgressWindow* progress, ISavePrompts* prompts,
                SaveRunState& state);
// Saves a folder and everything below it into dirFd as SafeFileName(folder.m_strName).
bool SaveFolderTo(CDirectory& folder, int dirFd, const std::string& dirPath, IProgressWindow* progress,
                  ISavePrompts* prompts, SaveRunState& state, int depth = 0);

// Tells the source, a few files ahead of the one being written, where the next files of a list
// lie (CRawDevice::WillRead), so that their bytes are on their way while the files before them
// are written: the files of a recovery lie scattered over the disk, and nothing else could read
// them ahead. A disk or image file gets them read by the kernel, an E01 gets their chunks
// inflated on its second thread. A source that takes no hints costs nothing.
class CReadHints {
 public:
  // The lead: at most this many items, and this many bytes, hinted before they are written.
  static constexpr size_t kLeadItems = 16;
  static constexpr uint64_t kLeadBytes = 1u << 20;

  // Item i of a list of count items (at(k) answers item k) is about to be written: the items
  // after it are hinted while the lead has room.
  template <class At>
  void Before(size_t i, size_t count, At at) {
    while (!m_lead.empty() && m_lead.front().first <= i) {
      m_nLeadBytes -= m_lead.front().second;
      m_lead.pop_front();
    }
    m_nNext = std::max(m_nNext, i + 1);
    while (m_nNext < count && m_lead.size() < kLeadItems && m_nLeadBytes < kLeadBytes) {
      const uint64_t bytes = Hint(at(m_nNext));
      m_lead.emplace_back(m_nNext++, bytes);
      m_nLeadBytes += bytes;
    }
  }

 private:
  // Hints the data of one file (its first kLeadBytes); answers the bytes hinted.
  uint64_t Hint(CDirEntry* item);

  size_t m_nNext = 0;                               // the first item not hinted yet
  std::deque<std::pair<size_t, uint64_t>> m_lead;  // items hinted and not reached: index, bytes
  uint64_t m_nLeadBytes = 0;
  std::vector<UnitRun> m_runs;
  std::vector<CRawDevice::ByteRange> m_ranges;
};

// Opens a destination folder for saving; -1 with *error.
int OpenDestination(const std::string& path, std::string* error);
