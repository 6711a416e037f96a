// FAT folders, names, recovery status and file contents, on volumes built byte by byte.
#include "fat/FATDirectory.h"

#include <cstdio>
#include <ctime>
#include <set>
#include <tuple>

#include <gtest/gtest.h>

#include "fat/FatTestImage.h"
#include "platform/Text.h"
#include "tasks/Progress.h"
#include "tree/OutputFile.h"

using namespace fattest;

namespace {

CDirectory* Root(CFATDriver& v) { return v.m_pRoot; }
std::string Width(CFATDriver& v) { return text::ToUtf8(v.GetFileSystemText()); }

// The folder's items after loading it with the given arguments, "LostFiles" left out.
std::vector<CDirEntry*> Items(CFATDriver& v, CDirectory* folder, bool includeDeleted = true, bool deletedOnly = true) {
  if (!folder->m_bLoaded) folder->LoadChildren(includeDeleted, deletedOnly, true);
  std::vector<CDirEntry*> out;
  for (const auto& c : folder->m_children)
    if (c && c.get() != v.m_pLostFolder) out.push_back(c.get());
  return out;
}

std::vector<std::u16string> Names(const std::vector<CDirEntry*>& items) {
  std::vector<std::u16string> names;
  for (auto* i : items) names.push_back(i->m_strName);
  return names;
}

CDirEntry* Find(const std::vector<CDirEntry*>& items, const std::u16string& name) {
  for (auto* i : items)
    if (i->m_strName == name) return i;
  return nullptr;
}

std::u16string Repeat(const std::u16string& head, size_t length) {
  std::u16string s = head;
  for (char16_t c = u'a'; s.size() < length; c = c == u'z' ? u'a' : char16_t(c + 1)) s += c;
  return s.substr(0, length);
}

// Records the messages a file's WriteContent sends.
class CMessageLog : public IProgressWindow {
 public:
  bool IsWindow() const override { return true; }
  int64_t Send(uint32_t message, uint64_t wParam, int64_t lParam) override {
    m_messages.emplace_back(message, wParam, lParam);
    return 0;
  }
  std::vector<std::tuple<uint32_t, uint64_t, int64_t>> m_messages;
};

int64_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return int64_t(mktime(&t));
}

}  // namespace

TEST(FATDirectory, TableEntriesOfEveryWidth) {
  // FAT12 (1000 clusters): the table bytes F0 FF FF 03 40 00 give clusters 2 and 3 the values
  // 3 and 4; the entry of cluster 341 begins at byte 511 of the first table sector.
  CFatTestImage f12(1000);
  const uint8_t head[] = {0xF0, 0xFF, 0xFF, 0x03, 0x40, 0x00};
  std::memcpy(f12.m_bytes.data() + f12.FatOffset(), head, sizeof head);
  f12.SetFat(340, 0x123);
  f12.SetFat(341, 0xABC);
  f12.SetFat(342, 0x456);
  // FAT16 (5000 clusters) and FAT32 (70000 clusters: the top four bits are not part of a value).
  CFatTestImage f16(5000), f32(70000);
  f16.SetFat(5, 0xFFF7);
  f32.SetFat(5, 0xF0000005);
  f32.SetFat(6, 0x0FFFFFF8);
  f32.SetFat(7, 0x0FFFFFFF);
  f32.SetFat(8, 0x0FFFFFF7);
  auto v12 = f12.Open(), v16 = f16.Open(), v32 = f32.Open();
  ASSERT_TRUE(v12 && v16 && v32);
  ASSERT_EQ(v12->m_nFileSystem, FS_FAT12);
  ASSERT_EQ(v16->m_nFileSystem, FS_FAT16);
  ASSERT_EQ(v32->m_nFileSystem, FS_FAT32);

  struct {
    CFATDriver* volume;
    uint64_t cluster;
    uint32_t value;
  } reads[] = {
      // The straddling entry asked for with the cache holding either of its sectors.
      {v12.get(), 2, 0x003},   {v12.get(), 3, 0x004},   {v12.get(), 342, 0x456}, {v12.get(), 341, 0xABC},
      {v12.get(), 340, 0x123}, {v12.get(), 341, 0xABC}, {v12.get(), 1, 0},       {v12.get(), 1002, 0},
      {v16.get(), 5, 0xFFF7},  {v16.get(), 5002, 0},    {v32.get(), 5, 5},       {v32.get(), 6, 0x0FFFFFF8},
      {v32.get(), 8, 0x0FFFFFF7}, {v32.get(), 70002, 0},
  };
  for (const auto& r : reads)
    EXPECT_EQ(r.volume->GetFatEntry(r.cluster, 0), r.value) << Width(*r.volume) << " cluster " << r.cluster;

  struct {
    CFATDriver* volume;
    uint32_t value;
    int cls;
  } classes[] = {
      {v12.get(), 0, FAT_FREE},          {v12.get(), 1, FAT_IN_USE},          {v12.get(), 0xFF0, FAT_IN_USE},
      {v12.get(), 0xFF1, FAT_RESERVED},  {v12.get(), 0xFF7, FAT_RESERVED},    {v12.get(), 0xFF8, FAT_END_OF_CHAIN},
      {v12.get(), 0xFFF, FAT_END_OF_CHAIN}, {v16.get(), 0xFF8, FAT_IN_USE},   {v16.get(), 0xFFF0, FAT_IN_USE},
      {v16.get(), 0xFFF1, FAT_RESERVED}, {v16.get(), 0xFFF7, FAT_RESERVED},   {v16.get(), 0xFFF8, FAT_END_OF_CHAIN},
      {v32.get(), 0xFFFF, FAT_IN_USE},   {v32.get(), 0xFFFFFF0, FAT_IN_USE},  {v32.get(), 0xFFFFFF1, FAT_RESERVED},
      {v32.get(), 0xFFFFFF7, FAT_RESERVED}, {v32.get(), 0xFFFFFF8, FAT_END_OF_CHAIN},
      {v32.get(), 0xFFFFFFF, FAT_END_OF_CHAIN},
  };
  for (const auto& c : classes)
    EXPECT_EQ(c.volume->ClassifyFatValue(c.value), c.cls) << Width(*c.volume) << " value " << std::hex << c.value;
}

TEST(FATDirectory, LongNameRunsAndTheirLimits) {
  const std::u16string n13 = u"Exactly13.txt", n26 = Repeat(u"Twenty-six ", 22) + u".txt",
                       n221 = Repeat(u"Two hundred twenty-one ", 217) + u".txt",
                       n230 = Repeat(u"Two hundred thirty ", 226) + u".txt";
  ASSERT_EQ(n26.size(), 26u);
  ASSERT_EQ(n221.size(), 221u);
  ASSERT_EQ(n230.size(), 230u);
  Entry broken = LongName(u"Broken", 0)[0];
  broken[26] = 1;  // the word that must be 0
  Entry noStart = LongName(u"No start mark", 0)[0];
  noStart[0] &= 0x3F;

  struct {
    const char* what;
    std::vector<Entry> entries;
    std::vector<std::u16string> names;
  } cases[] = {
      {"13 characters fill one entry without a terminator", Item(n13, "EXACTL~1TXT", kAttrFile, 5, 10), {n13}},
      {"26 characters in two entries", Item(n26, "TWENTY~1TXT", kAttrFile, 5, 10), {n26}},
      {"a deleted long name keeps every character", Deleted(Item(n26, "TWENTY~1TXT", kAttrFile, 5, 10)), {n26}},
      {"17 entries reach their item", Item(n221, "TWOHUN~1TXT", kAttrFile, 5, 10), {n221}},
      {"18 entries: listed under the short name",
       Join({Item(n230, "TWOHUN~2TXT", kAttrFile, 5, 10), Item(u"next one.txt", "NEXTON~1TXT", kAttrFile, 6, 10)}),
       {u"TWOHUN~2.TXT", u"next one.txt"}},
      {"a long-name entry with a non-zero word at offset 26 falls back to the short name",
       {broken, Short("SHORT   TXT", kAttrFile, 5, 10)},
       {u"SHORT.TXT"}},
      {"a run without its start mark falls back to the short name",
       {noStart, Short("SHORT   TXT", kAttrFile, 5, 10)},
       {u"SHORT.TXT"}},
      // A run whose short entry is gone, directly followed by another item's run: the first
      // name is lost, the second item keeps its own.
      {"two runs with different checksums in a row",
       Join({LongName(u"Orphaned long name", 0x5A), Item(u"Second item.txt", "SECOND~1TXT", kAttrFile, 6, 10)}),
       {u"Second item.txt"}},
      // A run whose short entry is gone, followed by the end mark: no item, not even an
      // empty file under the long name.
      {"a run followed by the end mark", LongName(u"Orphaned long name", 0x5A), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CFatTestImage img(100);
    img.WriteDir(0, c.entries);
    auto v = img.Open();
    ASSERT_TRUE(v);
    auto items = Items(*v, Root(*v), true, false);
    EXPECT_EQ(Names(items), c.names);
  }
}

TEST(FATDirectory, DeletedShortNamesTakeTheReplacementCharacter) {
  struct {
    const char* bytes;
    char16_t replaceChar;
    std::u16string name;
  } cases[] = {
      {"\xE5" "BC     TXT", u'_', u"_BC.TXT"},
      {"\xE5" "EPORT  DOC", u'_', u"_EPORT.DOC"},
      {"\xE5" "BC     TXT", u'#', u"#BC.TXT"},
      // The first byte may have begun a two-byte character: both go.
      {"\xE5\x81" "BC    TXT", u'_', u"_BC.TXT"},
      {"\xE5          ", u'_', u"_"},
      // 0x05 is not special: shown as it is.
      {"\x05" "ABC    TXT", u'_', u"\x05" u"ABC.TXT"},
  };
  for (const auto& c : cases) {
    CFatTestImage img(100);
    img.WriteDir(0, {Short(c.bytes, kAttrFile, 5, 10)});
    auto v = img.Open();
    ASSERT_TRUE(v);
    v->m_chReplaceChar = c.replaceChar;
    auto items = Items(*v, Root(*v), true, false);
    ASSERT_EQ(items.size(), 1u) << c.bytes;
    EXPECT_EQ(items[0]->m_strName, c.name) << c.bytes;
    EXPECT_EQ(items[0]->m_bDeleted, uint8_t(c.bytes[0]) == 0xE5);
  }
}

// One folder holding every kind of item the tree distinguishes, listed as the tree lists
// (deleted files only) and with every file.
TEST(FATDirectory, DeletedItemsTheirStatusAndTimes) {
  CFatTestImage img(200);
  Entry zeroTimes = Deleted(Short("NOTES   TXT", kAttrFile, 50, 300, 0, 0));
  img.WriteDir(0, {
                      Short("QVOLUME    ", kAttrLabel, 0, 0),
                      Short("LIVE    TXT", kAttrFile, 10, 300),
                      Short("LIVEDIR    ", kAttrDir, 11, 0),
                      Deleted(Short("ONE        ", kAttrDir, 12, 0)),      // dots, cluster free
                      Deleted(Short("TWO        ", kAttrDir, 13, 0)),      // dots, cluster reused
                      Deleted(Short("THREE      ", kAttrDir, 14, 0)),      // no dots any more
                      Deleted(Short("ZERO    TXT", kAttrFile, 0, 0)),
                      Deleted(Short("USED    TXT", kAttrFile, 15, 300)),   // its cluster is taken
                      Deleted(Short("PHOTO   JPG", kAttrFile, 20, 3000)),  // a whole picture
                      Deleted(Short("SHORT   JPG", kAttrFile, 30, 2000)),  // a picture of another length
                      Deleted(Short("NOJPEG  JPG", kAttrFile, 40, 300)),   // no picture at all
                      Deleted(Short("PICTURE PNG", kAttrFile, 45, 300)),   // PNG is not searched for by default
                      zeroTimes,
                      Deleted(Short("TAIL    JPG", kAttrFile, 60, 3000)),  // a picture ending before its size
                      Deleted(Short("SPLIT   TXT", kAttrFile, 70, 3000)),  // its second cluster is taken
                      Deleted(Short("HUGE    TXT", kAttrFile, 190, 1000000)),  // longer than the volume
                  });
  img.SetFat(10, img.EndOfChain());
  img.Chain({11});
  img.WriteFolder(11, 0, {Deleted(Short("NODOTS     ", kAttrDir, 14, 0))});
  img.WriteFolder(12, 0, {Short("INSIDE  TXT", kAttrFile, 16, 10)});
  img.WriteFolder(13, 0, {});
  img.Chain({13});
  img.Chain({15});
  img.Fill(20, JpegLike(3000));
  img.Fill(30, JpegLike(3000));
  img.Fill(40, std::vector<uint8_t>(300, 'x'));
  img.Fill(45, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'});
  img.Fill(50, std::vector<uint8_t>(300, 't'));
  img.Fill(60, JpegLike(2000));
  img.Chain({71});
  auto v = img.Open();
  ASSERT_TRUE(v);

  struct Expect {
    std::u16string name;
    bool dir;
    uint32_t status;
    StatusReason reason;
  };
  using R = StatusReason;
  const std::vector<Expect> tree = {
      {u"LIVEDIR", true, STATUS_EXISTING, R::None},
      {u"_NE", true, STATUS_GOOD, R::DeletedFolder},
      {u"_WO", true, STATUS_POOR, R::FirstClusterInUse},
      {u"_ERO.TXT", false, STATUS_EXCELLENT, R::EmptyFile},
      {u"_SED.TXT", false, STATUS_POOR, R::FirstClusterInUse},
      {u"_HOTO.JPG", false, STATUS_EXCELLENT, R::HeaderMatches},
      // The picture there is longer than the recorded size: what is recovered is cut short.
      {u"_HORT.JPG", false, STATUS_POOR, R::ReadsPastItsEnd},
      {u"_OJPEG.JPG", false, STATUS_POOR, R::HeaderMismatch},
      {u"_ICTURE.PNG", false, STATUS_POOR, R::HeaderMismatch},
      {u"_OTES.TXT", false, STATUS_GOOD, R::NoHeaderCheck},
      // Data after a picture's end (a trailer) is no evidence against it.
      {u"_AIL.JPG", false, STATUS_GOOD, R::HeaderEndsEarly},
      {u"_PLIT.TXT", false, STATUS_POOR, R::ClusterInUse},
      {u"_UGE.TXT", false, STATUS_POOR, R::PastVolumeEnd},
  };
  auto items = Items(*v, Root(*v));
  ASSERT_EQ(items.size(), tree.size()) << "live files and the deleted folder without dots are left out";
  for (size_t i = 0; i < tree.size(); ++i) {
    SCOPED_TRACE(text::ToUtf8(tree[i].name));
    EXPECT_EQ(items[i]->m_strName, tree[i].name);
    EXPECT_EQ(items[i]->IsDirectory(), tree[i].dir);
    EXPECT_EQ(items[i]->m_nStatus, tree[i].status);
    EXPECT_EQ(items[i]->m_nStatusReason, tree[i].reason);
    EXPECT_EQ(items[i]->m_bDeleted, tree[i].status != STATUS_EXISTING);
  }
  auto* photo = static_cast<CFATFile*>(Find(items, u"_HOTO.JPG"));
  EXPECT_EQ(photo->m_nFirstCluster, 20u);
  EXPECT_EQ(photo->m_nSize, 3000u);
  EXPECT_EQ(photo->m_nAllocatedSize, 3072u);
  EXPECT_EQ(photo->m_strExtension, u"JPG");
  EXPECT_EQ(photo->m_dwAttributes, kAttrFile);
  EXPECT_EQ(photo->m_tCreated, LocalTime(2023, 11, 14, 22, 13, 20));
  EXPECT_EQ(photo->m_tModified, photo->m_tCreated);
  // Date word 0 and time word 0: day 0 of month 0 of 1980 is 30 November 1979.
  EXPECT_EQ(Find(items, u"_OTES.TXT")->m_tCreated, LocalTime(1979, 11, 30, 0, 0, 0));

  // Everything inside a deleted folder counts as deleted, and keeps its name.
  auto inside = Items(*v, static_cast<CDirectory*>(Find(items, u"_NE")));
  ASSERT_EQ(Names(inside), std::vector<std::u16string>{u"INSIDE.TXT"});
  EXPECT_TRUE(inside[0]->m_bDeleted);
  // A folder whose only subfolder lost its dots has none to show.
  auto* liveDir = static_cast<CDirectory*>(Find(items, u"LIVEDIR"));
  EXPECT_FALSE(liveDir->HasSubfolders(true));
  EXPECT_TRUE(Items(*v, liveDir).empty());
  EXPECT_TRUE(Root(*v)->HasSubfolders(true));
  EXPECT_TRUE(v->m_pLostFolder->HasSubfolders(true));

  // With every file the live one is listed too.
  auto all = img.Open();
  auto allItems = Items(*all, Root(*all), true, false);
  ASSERT_NE(Find(allItems, u"LIVE.TXT"), nullptr);
  EXPECT_EQ(Find(allItems, u"LIVE.TXT")->m_nStatus, STATUS_EXISTING);
  EXPECT_EQ(allItems.size(), tree.size() + 1);
}

// Damaged tables and folders: every walk ends, and no folder is listed inside itself.
TEST(FATDirectory, LoopsAndDamagedFoldersEnd) {
  CFatTestImage img(200);
  img.WriteDir(0, {Short("LOOP       ", kAttrDir, 5, 0), Short("TREE       ", kAttrDir, 8, 0),
                   Short("HALF       ", kAttrDir, 12, 0)});
  // LOOP: two full clusters whose chain leads back to the first (5 -> 6 -> 5).
  std::vector<Entry> loopEntries;
  for (int i = 0; i < 30; ++i) {
    char name[12];
    std::snprintf(name, sizeof name, "\xE5%-7dTXT", i);
    loopEntries.push_back(Short(name, kAttrFile, 100 + i, 10));
  }
  img.SetFat(5, 6);
  img.SetFat(6, 5);
  img.WriteFolder(5, 0, loopEntries);
  // TREE (8) > SUB (9), which holds itself, its parent, two folders without a valid cluster,
  // a file and a normal subfolder KID (10).
  img.Chain({8});
  img.Chain({9});
  img.Chain({10});
  img.WriteFolder(8, 0, {Short("SUB        ", kAttrDir, 9, 0)});
  img.WriteFolder(9, 8,
                  {Short("SELF       ", kAttrDir, 9, 0), Short("BACK       ", kAttrDir, 8, 0),
                   Short("NOWHERE    ", kAttrDir, 5000, 0), Short("ZERO       ", kAttrDir, 0, 0),
                   Deleted(Short("FILE    TXT", kAttrFile, 20, 10)), Short("KID        ", kAttrDir, 10, 0)});
  img.WriteFolder(10, 9, {Short("BACKUP     ", kAttrDir, 9, 0), Deleted(Short("LEAF    TXT", kAttrFile, 21, 10))});
  // HALF: 12 -> 13, and the sector of 13 cannot be read.
  img.Chain({12, 13});
  img.WriteFolder(12, 0, {Deleted(Short("FIRST   TXT", kAttrFile, 22, 10))});
  img.WriteDir(13, {Deleted(Short("STALE   TXT", kAttrFile, 23, 10))});
  auto v = img.Open({img.ClusterSector(13)});
  ASSERT_TRUE(v);
  auto root = Items(*v, Root(*v));
  ASSERT_EQ(root.size(), 3u);

  auto loop = Items(*v, static_cast<CDirectory*>(root[0]));
  std::set<std::u16string> distinct;
  for (auto* i : loop) distinct.insert(i->m_strName);
  EXPECT_EQ(distinct.size(), 30u);
  EXPECT_EQ(loop.size(), 30u) << "the entries of a looping chain are listed once";

  auto* tree = static_cast<CDirectory*>(root[1]);
  auto sub = Items(*v, static_cast<CDirectory*>(Items(*v, tree).at(0)));
  EXPECT_EQ(Names(sub), (std::vector<std::u16string>{u"_ILE.TXT", u"KID"}));
  EXPECT_EQ(Names(Items(*v, static_cast<CDirectory*>(sub.at(1)))), std::vector<std::u16string>{u"_EAF.TXT"});
  EXPECT_EQ(tree->CountFiles(nullptr), 2);
  CMessageLog hits;
  SearchCriteria all;
  all.strPattern = u"*";
  uint32_t counter = 0;
  EXPECT_TRUE(tree->Search(&all, &hits, counter));
  EXPECT_EQ(counter, 4u);  // SUB, _ILE.TXT, KID, _EAF.TXT

  // An unreadable folder sector ends the walk: nothing stale is taken for entries.
  EXPECT_EQ(Names(Items(*v, static_cast<CDirectory*>(root[2]))), std::vector<std::u16string>{u"_IRST.TXT"});
}

TEST(FATDirectory, WriteContentChunksReportsAndFailures) {
  // 4 KiB clusters; contents are read from consecutive clusters.
  CFatTestImage img(1000, 8);
  const uint32_t last = 1001;
  std::vector<uint8_t> data(300000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t((i * 7 + i / 4096) & 0xFF);
  img.Fill(100, data);
  img.Fill(last - 1, std::vector<uint8_t>(8192, 'e'));
  auto v = img.Open({img.ClusterSector(200) + 3});
  ASSERT_TRUE(v);
  ASSERT_EQ(v->m_nLastUnit, last);

  using M = std::tuple<uint32_t, uint64_t, int64_t>;
  const M done{WM_FILEDONE, 0, 0};
  auto written = [](int64_t n) { return M{WM_FILEPROGRESS, FILE_WRITTEN, n}; };
  auto size = [](int64_t n) { return M{WM_FILEPROGRESS, FILE_SIZE, n}; };
  struct {
    uint64_t cluster, size;
    bool ok;
    size_t bytesWritten;
    std::vector<M> messages;
    std::vector<std::pair<uint64_t, uint64_t>> unreadable = {};  // (offset, length) written as zeros
  } cases[] = {
      {100, 0, true, 0, {written(0), size(0), written(0), done}},
      {100, 1, true, 1, {written(0), size(1), written(1), done}},
      // A full chunk is followed by an empty read that ends the loop; 65,535 bytes count as full.
      {100, 65535, true, 65535, {written(0), size(65535), written(65535), written(65535), done}},
      {100, 65536, true, 65536, {written(0), size(65536), written(65536), written(65536), done}},
      {100, 100000, true, 100000, {written(0), size(100000), written(65536), written(100000), done}},
      // Runs past the last cluster: the two clusters there are written, then the file fails.
      {last - 1, 10000, false, 8192, {written(0), size(10000), written(8192)}},
      // Sector 3 of cluster 200 cannot be read: it is written as zeros and noted, and the
      // rest of the file is read.
      {199, 20000, true, 20000, {written(0), size(20000), written(20000), done}, {{4096 + 3 * 512, 512}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("file at cluster " + std::to_string(c.cluster) + " of " + std::to_string(c.size) + " bytes");
    CFATFile file;
    file.m_pDriver = v.get();
    file.m_nFirstCluster = c.cluster;
    file.m_nSize = c.size;
    file.m_bDeleted = true;  // a deleted file: its clusters are taken consecutively
    for (int pass = 0; pass < 2; ++pass) {  // a second read gives the same, with the caches warm
      CMemoryOutputFile out;
      CMessageLog log;
      EXPECT_EQ(file.WriteContent(out, &log, 0), c.ok);
      EXPECT_EQ(log.m_messages, c.messages);
      ASSERT_EQ(out.Bytes().size(), c.bytesWritten);
      std::vector<uint8_t> expected(img.m_bytes.begin() + long(img.ClusterOffset(uint32_t(c.cluster))),
                                    img.m_bytes.begin() + long(img.ClusterOffset(uint32_t(c.cluster)) + c.bytesWritten));
      std::vector<std::pair<uint64_t, uint64_t>> noted;
      for (const auto& r : out.Unreadable()) {
        noted.emplace_back(r.nOffset, r.nLength);
        std::fill_n(expected.begin() + long(r.nOffset), r.nLength, uint8_t(0));
      }
      EXPECT_EQ(noted, c.unreadable);
      EXPECT_TRUE(out.Bytes() == expected);
    }
  }

  // A write that fails ends the file with failure; without a window nothing is sent.
  CFATFile file;
  file.m_pDriver = v.get();
  file.m_nFirstCluster = 100;
  file.m_nSize = 5000;
  file.m_bDeleted = true;
  CMemoryOutputFile small(1000);
  EXPECT_FALSE(file.WriteContent(small, nullptr, 0));
  CMemoryOutputFile out;
  EXPECT_TRUE(file.WriteContent(out, nullptr, 0));
  EXPECT_EQ(out.Bytes().size(), 5000u);
  // A node without a volume has nothing to read.
  CFATFile orphan;
  orphan.m_nSize = 10;
  EXPECT_FALSE(orphan.WriteContent(out, nullptr, 0));
}
