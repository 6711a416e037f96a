// The directory tree shared by every file system.
//
// A volume owns its root folder; every folder owns its children; nodes point back to
// their volume and parent without owning them. Folders are read lazily: the first time
// one is shown, expanded, counted, searched or saved, its file system's LoadChildren
// creates the child nodes, once; a folder is never reloaded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CLogicalDriver;
class CDirectory;
class IProgressWindow;
class IOutputFile;

// The deepest folder level any walk of a tree enters (listing, searching, counting,
// saving, the command line's walks): a crafted chain of nested folders must not exhaust
// the stack. Folders below it are not entered; the save reports them.
constexpr int kMaxFolderDepth = 256;

// Recovery status of a node.
enum : uint32_t { STATUS_EXISTING = 0, STATUS_EXCELLENT = 1, STATUS_GOOD = 2, STATUS_POOR = 3 };

// Why a node has its status word: the evidence behind it, shown beside the word (the status
// cell's tooltip, Properties, list --json's status_reason). StatusReasonText gives the text.
enum class StatusReason : uint8_t {
  None,               // existing items; folders the program made
  EmptyFile,          // nothing of it can be lost
  HeaderMatches,      // clusters free, header of its type, measured length = recorded size
  HeaderEndsEarly,    // clusters free, header matches; its data ends before the recorded size
  NoHeaderCheck,      // clusters free; its type has no header to check
  HeaderOtherType,    // clusters free; the header found is of a related type
  HeaderMismatch,     // the first cluster does not hold a file of its type
  ReadsPastItsEnd,    // measured longer than the recorded size: fragmented, read consecutively
  FirstClusterInUse,  // the first cluster belongs to another file now
  ClusterInUse,       // a later cluster belongs to another file: fragmented, read consecutively
  NoFirstCluster,     // the entry names no (valid) first cluster
  PastVolumeEnd,      // the file would continue past the volume's end
  Unreadable,         // a sector of it could not be read
  DataKeptInRecord,   // NTFS: the data is inside the file record itself
  Compressed,         // NTFS: compressed, its header cannot be checked in place
  Encrypted,          // NTFS: encrypted, recovered only as stored
  RunsDamaged,        // NTFS: the data's runs are damaged or do not map all of it
  DeletedFolder,      // a deleted folder: its entries are read where they lie
  LostFolderGroup,    // a folder made to hold items whose own folder is lost
  Carved,             // found by its signature, measured by its format
  SetChecksumMismatch,  // exFAT: the entry set fails its checksum (its entries may be of two files)
  ChainGoneReadInRow,   // exFAT: it used the FAT, whose chain is gone: read as consecutive clusters
  LaterClusterInUse,    // exFAT: one run of clusters, a later one of which another file uses now
  SharesClusters,       // set by a save: its clusters were written for another file of the same run
};
// The reason as the user reads it (through the language file).
std::u16string StatusReasonText(StatusReason reason);

// Search criteria, filled by the search dialog or the command line.
struct SearchCriteria {
  std::u16string strPattern;
  bool bMatchCase = false;
  bool bSubfolders = true;
  bool bSizeFilter = false;
  uint32_t nSizeLow = 0, nSizeHigh = 0;    // exclusive bounds, bytes
  bool bDateFilter = false;
  int64_t tDateLow = 0, tDateHigh = 0;     // exclusive bounds, seconds since 1970
  int nDateKind = 0;                        // 0 created, 1 modified, other: the time 0
};

class CDirEntry {
 public:
  CDirEntry() = default;
  virtual ~CDirEntry() = default;
  CDirEntry(const CDirEntry&) = delete;
  CDirEntry& operator=(const CDirEntry&) = delete;

  virtual bool IsDirectory() const { return false; }

  // The folders that contain the node, from the volume's root text, each followed by
  // '/'; empty for a root. A file a.txt in Docs/Sub on a volume whose root text is
  // /media/usb gives "/media/usb/Docs/Sub/".
  virtual std::u16string GetFullPath() const;
  // The same path, stopping below stop (stop itself and what is above are left out).
  std::u16string GetRelativePath(const CDirectory* stop) const;
  virtual uint64_t GetSize();
  virtual uint64_t GetAllocatedSize();
  // Sizes in KB for the lists; with detail followed by " (N Bytes)".
  virtual std::u16string GetSizeText(bool detail);
  virtual std::u16string GetAllocatedSizeText(bool detail);
  // "Existing", "Excellent", "Good" or "Poor" through the language file.
  std::u16string GetStatusText();
  // Why the status is what it is (worked out with it); empty for existing items.
  std::u16string GetStatusReasonText();
  virtual void EvaluateStatus();

  std::u16string GetCreatedText() const;
  std::u16string GetModifiedText() const;
  // Date and time on NTFS and exFAT volumes; the date alone on FAT.
  std::u16string GetAccessedText() const;
  // The extension for files; the folder type name of the view for folders.
  std::u16string GetTypeText() const;

  std::u16string m_strName;
  std::u16string m_strExtension;
  uint64_t m_nSize = 0;
  uint64_t m_nAllocatedSize = 0;
  int64_t m_tCreated = 0;
  int64_t m_tModified = 0;
  int64_t m_tAccessed = 0;
  uint32_t m_dwAttributes = 0;
  bool m_bDeleted = false;
  uint32_t m_nStatus = STATUS_POOR;
  StatusReason m_nStatusReason = StatusReason::None;
  CLogicalDriver* m_pDriver = nullptr;  // not owned
  CDirectory* m_pParent = nullptr;      // not owned
  bool m_bStatusEvaluated = false;
};

class CDirectory : public CDirEntry {
 public:
  bool IsDirectory() const override { return true; }

  // Whether the folder has child folders (for the tree's expanders).
  virtual bool HasSubfolders(bool includeDeleted) = 0;
  // Creates the child nodes from the volume. Sets m_bLoaded at its start. force is
  // false when the folder is being shown and true when its children are needed for a
  // count, a search or saving.
  virtual void LoadChildren(bool includeDeleted, bool deletedFilesOnly, bool force) = 0;

  // Walks the folder (and with bSubfolders its child folders) for names matching the
  // criteria; each hit is sent to resultWindow as WM_SEARCHHIT with the running counter.
  // Never reports or enters a volume's "LostFiles" folder, nor folders deeper than
  // kMaxFolderDepth below this one. False when stopped.
  bool Search(const SearchCriteria* criteria, IProgressWindow* resultWindow, uint32_t& counter, int depth = 0);
  // Files below the folder, down to kMaxFolderDepth levels; -1 when stopped.
  int64_t CountFiles(IProgressWindow* progress, int depth = 0);

  // Appends a child and takes ownership; sets its parent.
  CDirEntry* AddChild(std::unique_ptr<CDirEntry> child);

  bool m_bLoaded = false;
  // A folder the program made to hold what it found ("LostFiles", "DeletedFiles"), not one
  // of the volume's own: a save passes it over while it is empty.
  bool m_bResultsFolder = false;
  std::vector<std::unique_ptr<CDirEntry>> m_children;  // creation order; never sorted by the model
};

// A run of a file's data on its volume: count units from unit on (clusters of a volume,
// sectors of a disk's virtual volume).
struct UnitRun {
  uint64_t nUnit = 0;
  uint64_t nCount = 0;
};

class CFSFile : public CDirEntry {
 public:
  // The units the file's data is read from, in file order, as WriteContent takes them
  // (holes and data kept inside a record have none). For the reports of saved files.
  virtual void DataUnits(std::vector<UnitRun>& runs) { runs.clear(); }
  // Keeps the first units of runs that cover bytes bytes of units of unitBytes each.
  static void TrimRuns(std::vector<UnitRun>& runs, uint64_t bytes, uint64_t unitBytes);

  // Reads the file's data through its volume and writes it, in order, to out. With a
  // progress window it reports WM_FILEPROGRESS / WM_FILEDONE and polls the page
  // runner's stop event. False on a failed read or write or when stopped; what was
  // written stays written.
  virtual bool WriteContent(IOutputFile& out, IProgressWindow* progress, uint32_t reserved) = 0;

  // A carved file whose first unit is where an item of the volume's file system begins:
  // that item's path from the root and whether it is deleted (empty path: none).
  std::u16string m_strFsPath;
  bool m_bFsDeleted = false;
};

// The item's path from the root: its folders' names and its own, joined by '/' (UTF-8).
std::string ItemPath(const CDirEntry* item);

// Fills a volume's top results folder ("LostFiles", "DeletedFiles"): the volume, the name,
// the three times set to now, marked deleted, status existing.
// (m_bResultsFolder set).
void InitResultsFolder(CDirectory& folder, CLogicalDriver* volume, const std::u16string& name, int64_t now);

// The folder type word shown in the "Type" column; set by the GUI.
void SetFolderTypeName(const std::u16string& name);

// Anchored name pattern: '?' one character, '*' any run.
bool MatchNamePattern(std::u16string_view pattern, std::u16string_view name, bool matchCase);

// The size formatter of the lists: "N KB" with N = size / 1024, "1 KB" for 1 to 1023
// bytes; with detail followed by " (N Bytes)".
std::u16string FormatSizeText(uint64_t size, bool detail);
// "%04d/%02d/%02d %02d:%02d:%02d" in local time; "0000/00/00 -1:-1:-1" when the time
// cannot be converted. dateOnly gives the first ten characters' form.
std::u16string FormatTimeText(int64_t t, bool dateOnly);

// Strict comes-before tests of the list's column sorting.
bool SizeAscending(CDirEntry* a, CDirEntry* b);
bool SizeDescending(CDirEntry* a, CDirEntry* b);
bool StatusDescending(const CDirEntry* a, const CDirEntry* b);
bool StatusAscending(const CDirEntry* a, const CDirEntry* b);

// The extension text of a name: after its last '.', or the whole name without one.
std::u16string ExtensionOf(std::u16string_view name);
