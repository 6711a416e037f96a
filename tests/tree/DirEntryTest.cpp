#include "tree/DirEntry.h"

#include <gtest/gtest.h>

#include "device/Driver.h"
#include "tasks/Progress.h"

namespace {

// A folder whose children are set up by the test; loading adds nothing.
class CTestDirectory : public CDirectory {
 public:
  bool HasSubfolders(bool) override { return false; }
  void LoadChildren(bool, bool, bool) override { m_bLoaded = true; }
};
class CTestFile : public CFSFile {
 public:
  bool WriteContent(IOutputFile&, IProgressWindow*, uint32_t) override { return true; }
};

CTestDirectory* AddFolder(CDirectory* parent, const std::u16string& name) {
  auto d = std::make_unique<CTestDirectory>();
  d->m_strName = name;
  d->m_pDriver = parent->m_pDriver;
  d->m_bLoaded = true;
  return static_cast<CTestDirectory*>(parent->AddChild(std::move(d)));
}
CTestFile* AddFile(CDirectory* parent, const std::u16string& name, uint64_t size = 0) {
  auto f = std::make_unique<CTestFile>();
  f->m_strName = name;
  f->m_nSize = size;
  f->m_pDriver = parent->m_pDriver;
  return static_cast<CTestFile*>(parent->AddChild(std::move(f)));
}

// Records search hits.
class CHitWindow : public IProgressWindow {
 public:
  bool IsWindow() const override { return true; }
  int64_t Send(uint32_t message, uint64_t wParam, int64_t lParam) override {
    if (message == WM_SEARCHHIT) m_hits.push_back(reinterpret_cast<CDirEntry*>(lParam)->m_strName);
    return 0;
  }
  std::vector<std::u16string> m_hits;
};

// A chain of nested folders without end, as a crafted file system can present one: each
// folder, when loaded, holds one file and one more folder.
class CEndlessDirectory : public CDirectory {
 public:
  bool HasSubfolders(bool) override { return true; }
  void LoadChildren(bool, bool, bool) override {
    m_bLoaded = true;
    AddFile(this, u"f.txt");
    auto next = std::make_unique<CEndlessDirectory>();
    next->m_strName = u"d";
    next->m_pDriver = m_pDriver;
    AddChild(std::move(next));
  }
};

struct VolumeFixture {
  CLogicalDriver volume;
  CTestDirectory* root;
  VolumeFixture() {
    root = new CTestDirectory();
    root->m_pDriver = &volume;
    root->m_strName = u"Volume";
    root->m_bLoaded = true;
    volume.m_pRoot = root;
    volume.m_strRootText = u"/media/usb";
    auto* lost = AddFolder(root, u"LostFiles");
    volume.m_pLostFolder = lost;
    AddFile(lost, u"FILE_1.txt", 150);
  }
};

}  // namespace

TEST(DirEntry, PathsNameTheContainingFoldersFromTheRootText) {
  VolumeFixture v;
  auto* docs = AddFolder(v.root, u"Docs");
  auto* sub = AddFolder(docs, u"Sub");
  auto* file = AddFile(sub, u"a.txt");
  auto* top = AddFile(v.root, u"top.txt");
  EXPECT_EQ(file->GetFullPath(), u"/media/usb/Docs/Sub/");
  EXPECT_EQ(top->GetFullPath(), u"/media/usb/");
  EXPECT_EQ(v.root->GetFullPath(), u"");
  EXPECT_EQ(file->GetRelativePath(docs), u"Sub/");
}

TEST(DirEntry, NamePatternMatching) {
  struct Case {
    const char16_t* pattern;
    const char16_t* name;
    bool matchCase;
    bool expected;
  } cases[] = {
      {u"*", u"anything", true, true},      {u"*.*", u"a.txt", true, true},   {u"*.*", u"README", true, false},
      {u"a*", u"a", true, true},             {u"a**", u"a", true, false},      {u"?.txt", u"a.txt", true, true},
      {u"?.txt", u".txt", true, false},      {u"?.txt", u"ab.txt", true, false}, {u"a.txt", u"A.TXT", false, true},
      {u"a.txt", u"A.TXT", true, false},     {u"*b", u"aab", true, true},      {u"", u"", true, true},
      {u"", u"x", true, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MatchNamePattern(c.pattern, c.name, c.matchCase), c.expected)
        << "pattern " << std::u16string(c.pattern).size() << " name size " << std::u16string(c.name).size();
}

TEST(DirEntry, SearchFiltersBySizeAndSkipsTheResultsFolder) {
  VolumeFixture v;
  AddFile(v.root, u"small.txt", 100);
  AddFile(v.root, u"mid.txt", 150);
  AddFile(v.root, u"big.txt", 200);
  auto* sub = AddFolder(v.root, u"Sub");
  AddFile(sub, u"deep.txt", 150);
  AddFile(sub, u"huge.txt", 0x100000000ULL + 150);  // 2^32 + 150 bytes never passes the 32-bit bounds
  SearchCriteria c;
  c.strPattern = u"*.txt";
  c.bSizeFilter = true;
  c.nSizeLow = 100;
  c.nSizeHigh = 200;
  CHitWindow w;
  uint32_t counter = 0;
  EXPECT_TRUE(v.root->Search(&c, &w, counter));
  EXPECT_EQ(w.m_hits, (std::vector<std::u16string>{u"mid.txt", u"deep.txt"}));
  EXPECT_EQ(counter, 2u);
}

TEST(DirEntry, SearchByDateUsesTheChosenTime) {
  VolumeFixture v;
  auto* f = AddFile(v.root, u"x.doc");
  f->m_tCreated = 1000;
  f->m_tModified = 5000;
  SearchCriteria c;
  c.strPattern = u"*";
  c.bDateFilter = true;
  c.tDateLow = 500;
  c.tDateHigh = 2000;
  for (int kind : {0, 1, 2}) {
    c.nDateKind = kind;
    CHitWindow w;
    uint32_t counter = 0;
    v.root->Search(&c, &w, counter);
    EXPECT_EQ(w.m_hits.size(), kind == 0 ? 1u : 0u) << "date kind " << kind;
  }
}

TEST(DirEntry, CountFilesCountsFilesAtAnyDepth) {
  VolumeFixture v;
  auto* a = AddFolder(v.root, u"A");
  AddFolder(a, u"Empty");
  AddFile(a, u"one");
  auto* b = AddFolder(a, u"B");
  AddFile(b, u"two");
  AddFile(b, u"three");
  EXPECT_EQ(a->CountFiles(nullptr), 3);
  EXPECT_EQ(static_cast<CDirectory*>(a->m_children[0].get())->CountFiles(nullptr), 0);
}

TEST(DirEntry, WalksStopAtTheFolderDepthCeiling) {
  VolumeFixture v;
  auto* chain = static_cast<CDirectory*>(v.root->AddChild(std::make_unique<CEndlessDirectory>()));
  // One file a level, down to the ceiling: the walks end instead of exhausting the stack.
  EXPECT_EQ(chain->CountFiles(nullptr), kMaxFolderDepth);
  SearchCriteria c;
  c.strPattern = u"f.txt";
  CHitWindow w;
  uint32_t counter = 0;
  EXPECT_TRUE(chain->Search(&c, &w, counter));
  EXPECT_EQ(counter, uint32_t(kMaxFolderDepth));
}

TEST(DirEntry, SizeAndStatusTexts) {
  struct Case {
    uint64_t size;
    const char16_t* text;
  } cases[] = {{0, u"0 KB"}, {1, u"1 KB"}, {1000, u"1 KB"}, {2047, u"1 KB"}, {2048, u"2 KB"},
               {5ULL << 40, u"5368709120 KB"}};
  for (const auto& c : cases) EXPECT_EQ(FormatSizeText(c.size, false), c.text);
  EXPECT_EQ(FormatSizeText(5000000000ULL, true), u"4882812 KB (5000000000 Bytes)");

  VolumeFixture v;
  auto* f = AddFile(v.root, u"f");
  EXPECT_EQ(f->GetStatusText(), u"Poor");  // a fresh node
  f->m_nStatus = STATUS_EXISTING;
  EXPECT_EQ(f->GetStatusText(), u"Existing");
  f->m_nStatus = 7;
  EXPECT_EQ(f->GetStatusText(), u"Existing");
  EXPECT_EQ(v.root->m_children[0]->GetSizeText(false), u"");  // folders have no size text
}

TEST(DirEntry, TimeTextsAndTheirFailureForm) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(FormatTimeText(0, false), u"1970/01/01 00:00:00");
  EXPECT_EQ(FormatTimeText(1700000000, false), u"2023/11/14 22:13:20");
  EXPECT_EQ(FormatTimeText(1700000000, true), u"2023/11/14");
  EXPECT_EQ(FormatTimeText(-1, false), u"0000/00/00 -1:-1:-1");

  VolumeFixture v;
  auto* f = AddFile(v.root, u"f");
  f->m_tAccessed = 1700000000;
  EXPECT_EQ(f->GetAccessedText(), u"2023/11/14");  // not an NTFS volume: the date alone
  v.volume.m_nFileSystem = FS_NTFS;
  EXPECT_EQ(f->GetAccessedText(), u"2023/11/14 22:13:20");
}

TEST(DirEntry, OrderingsKeepFoldersTogether) {
  VolumeFixture v;
  auto* folder = AddFolder(v.root, u"D");
  auto* small = AddFile(v.root, u"s", 10);
  auto* big = AddFile(v.root, u"b", 20);
  EXPECT_TRUE(SizeAscending(folder, small));
  EXPECT_FALSE(SizeAscending(small, folder));
  EXPECT_TRUE(SizeAscending(small, big));
  EXPECT_TRUE(SizeDescending(small, folder));
  EXPECT_FALSE(SizeDescending(folder, small));
  EXPECT_TRUE(SizeDescending(big, small));
  small->m_nStatus = STATUS_POOR;
  big->m_nStatus = STATUS_GOOD;
  EXPECT_TRUE(StatusDescending(folder, small));
  EXPECT_TRUE(StatusDescending(small, big));
  EXPECT_TRUE(StatusAscending(big, small));
  EXPECT_TRUE(StatusAscending(small, folder));
  EXPECT_FALSE(SizeAscending(small, small));
}

TEST(DirEntry, ExtensionText) {
  EXPECT_EQ(ExtensionOf(u"a.tar.gz"), u"gz");
  EXPECT_EQ(ExtensionOf(u"README"), u"README");
  EXPECT_EQ(ExtensionOf(u"x."), u"");
}
