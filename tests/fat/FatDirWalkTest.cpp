// The folder walk: short names with the lower-case flags of byte 12, the entry rules that
// decide how far a deleted folder reaches past its first cluster, and that reach itself, on
// volumes built byte by byte.
#include "fat/FATDirectory.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "fat/FatTestImage.h"
#include "platform/Text.h"

using namespace fattest;
using fatdir::FatEntryCheck;

namespace {

std::vector<std::u16string> ChildNames(CDirectory* folder, bool includeDeleted = true) {
  if (!folder->m_bLoaded) folder->LoadChildren(includeDeleted, false, true);
  std::vector<std::u16string> names;
  for (const auto& c : folder->m_children)
    if (c.get() != folder->m_pDriver->m_pLostFolder) names.push_back(c->m_strName);
  return names;
}

CDirectory* Child(CDirectory* folder, const std::u16string& name) {
  if (!folder->m_bLoaded) folder->LoadChildren(true, false, true);
  for (const auto& c : folder->m_children)
    if (c->m_strName == name) return dynamic_cast<CDirectory*>(c.get());
  return nullptr;
}

Entry WithCase(Entry e, uint8_t flags) {
  e[12] = flags;
  return e;
}

using Names = std::vector<std::u16string>;

// The eleven name bytes of PREFIXnnnn.TXT (a prefix of at most four characters).
std::string Name11(const char* prefix, int i) {
  char base[16];
  std::snprintf(base, sizeof base, "%.4s%04d", prefix, i);
  std::string name = base;
  name.resize(8, ' ');
  return name + "TXT";
}

// Short entries of the deleted files PREFIXnnnn.TXT, numbered from first on.
std::vector<Entry> DeletedFiles(const char* prefix, int first, int n) {
  std::vector<Entry> out;
  for (int i = first; i < first + n; ++i)
    out.push_back(Deleted(Short(Name11(prefix, i).c_str(), kAttrFile, 100 + (i % 100), 10)));
  return out;
}

// Their names as listed: the first character replaced.
Names DeletedNames(const char* prefix, int first, int n) {
  Names out;
  for (int i = first; i < first + n; ++i) {
    std::string name = Name11(prefix, i);
    std::string base = name.substr(0, 8);
    base.erase(base.find_last_not_of(' ') + 1);
    out.push_back(text::Widen("_" + base.substr(1) + ".TXT"));
  }
  return out;
}

}  // namespace

// Byte 12 lower-cases the base name (0x08) and the extension (0x10) of a name that has no
// long name; the deleted mark still replaces the first character.
TEST(FatDirWalk, ShortNamesFollowTheirCaseFlags) {
  Entry broken = LongName(u"Broken", 0)[0];
  broken[26] = 1;  // a long-name entry the walk does not take: the short name is shown
  std::vector<Entry> mixed = Item(u"MiXed Case.txt", "MIXEDC~1TXT", kAttrFile, 5, 10);
  mixed.back()[12] = 0x18;  // flags under a long name
  struct {
    const char* what;
    std::vector<Entry> entries;
    char16_t replaceChar;
    std::u16string name;
  } cases[] = {
      {"both flags", {WithCase(Short("EMPTY   DAT", kAttrFile, 5, 10), 0x18)}, u'_', u"empty.dat"},
      {"base name only", {WithCase(Short("EMPTY   DAT", kAttrFile, 5, 10), 0x08)}, u'_', u"empty.DAT"},
      {"extension only", {WithCase(Short("EMPTY   DAT", kAttrFile, 5, 10), 0x10)}, u'_', u"EMPTY.dat"},
      {"no flag", {WithCase(Short("EMPTY   DAT", kAttrFile, 5, 10), 0x00)}, u'_', u"EMPTY.DAT"},
      {"other bits of the byte are not case flags", {WithCase(Short("EMPTY   DAT", kAttrFile, 5, 10), 0xE7)}, u'_',
       u"EMPTY.DAT"},
      {"a name without extension", {WithCase(Short("README     ", kAttrFile, 5, 10), 0x18)}, u'_', u"readme"},
      {"a folder", {WithCase(Short("PHOTOS     ", kAttrDir, 5, 0), 0x08)}, u'_', u"photos"},
      {"digits and signs stay", {WithCase(Short("A1_~2$  TXT", kAttrFile, 5, 10), 0x18)}, u'_', u"a1_~2$.txt"},
      {"a code-page byte stays", {WithCase(Short("\xC4" "BC     TXT", kAttrFile, 5, 10), 0x18)}, u'_',
       u"\u00C4bc.txt"},
      {"deleted", {Deleted(WithCase(Short("_CAN    PNG", kAttrFile, 5, 10), 0x18))}, u'_', u"_can.png"},
      {"deleted, another replacement character", {Deleted(WithCase(Short("NOTES   TXT", kAttrFile, 5, 10), 0x18))},
       u'#', u"#otes.txt"},
      {"deleted, the first byte began a two-byte character",
       {Deleted(WithCase(Short("\x81\x81" "BC    TXT", kAttrFile, 5, 10), 0x18))}, u'_', u"_bc.txt"},
      {"a long name wins", mixed, u'_', u"MiXed Case.txt"},
      {"a long name the walk refuses leaves the short name",
       {broken, WithCase(Short("SHORT   TXT", kAttrFile, 5, 10), 0x18)}, u'_', u"short.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CFatTestImage img(100);
    img.WriteDir(0, c.entries);
    auto v = img.Open();
    ASSERT_TRUE(v);
    v->m_chReplaceChar = c.replaceChar;
    EXPECT_EQ(ChildNames(v->m_pRoot), std::vector<std::u16string>{c.name});
  }
}

// The entry rules of a deleted folder's later clusters, one field at a time, from entries
// as mtools writes them.
TEST(FatDirWalk, EntryRulesGiveTheirReason) {
  const Entry file = Deleted(Short("NOTES   TXT", kAttrFile, 20, 1000));
  const Entry lfn = LongName(u"A long name.txt", ShortNameChecksum(file.data()))[0];
  auto with = [](Entry e, size_t at, std::initializer_list<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), e.begin() + long(at));
    return e;
  };
  struct {
    const char* what;
    Entry entry;
    FatEntryCheck expected;
  } cases[] = {
      {"a deleted file", file, FatEntryCheck::Ok},
      {"a live file", Short("NOTES   TXT", kAttrFile, 20, 1000), FatEntryCheck::Ok},
      {"a deleted folder", Deleted(Short("SUB        ", kAttrDir, 30, 0)), FatEntryCheck::Ok},
      {"an empty file without a cluster", Deleted(Short("EMPTY   TXT", kAttrFile, 0, 0)), FatEntryCheck::Ok},
      {"first byte 0x05 stands for 0xE5", Short("\x05" "BC     TXT", kAttrFile, 20, 10), FatEntryCheck::Ok},
      {"a long-name entry", lfn, FatEntryCheck::Ok},
      {"a deleted long-name entry", with(lfn, 0, {0xE5}), FatEntryCheck::Ok},
      {"zeros end the folder", Entry{}, FatEntryCheck::EndMark},
      {"\".\"", Short(".          ", kAttrDir, 30, 0), FatEntryCheck::DotEntry},
      {"\"..\"", Short("..         ", kAttrDir, 0, 0), FatEntryCheck::DotEntry},
      {"attribute bit 0x40", with(file, 11, {0x60}), FatEntryCheck::BadAttributes},
      {"a volume label", Short("LABEL      ", kAttrLabel, 0, 0), FatEntryCheck::BadAttributes},
      {"a long-name entry with more attribute bits", with(lfn, 11, {0x4F}), FatEntryCheck::BadAttributes},
      {"a long-name entry with a cluster", with(lfn, 26, {5}), FatEntryCheck::BadLongName},
      {"a long-name entry with a type", with(lfn, 12, {1}), FatEntryCheck::BadLongName},
      {"ordinal 0", with(lfn, 0, {0x40}), FatEntryCheck::BadLongName},
      {"ordinal 21", with(lfn, 0, {0x55}), FatEntryCheck::BadLongName},
      {"sequence bit 0x20", with(lfn, 0, {0x61}), FatEntryCheck::BadLongName},
      {"a line feed in the name", with(file, 4, {'\n'}), FatEntryCheck::BadName},
      {"a full stop in the name", with(file, 3, {'.'}), FatEntryCheck::BadName},
      {"a vertical bar in the extension", with(file, 10, {'|'}), FatEntryCheck::BadName},
      {"a space first", Short(" ABC    TXT", kAttrFile, 20, 10), FatEntryCheck::BadName},
      {"cluster 1", with(file, 26, {1, 0}), FatEntryCheck::ClusterOutOfRange},
      {"a cluster past the last", with(file, 26, {0x2E, 1}), FatEntryCheck::ClusterOutOfRange},
      {"a high cluster word", with(file, 20, {1, 0}), FatEntryCheck::ClusterOutOfRange},
      {"a file with bytes but no cluster", Deleted(Short("DATA    TXT", kAttrFile, 0, 10)),
       FatEntryCheck::ClusterOutOfRange},
      {"a folder without a cluster", Deleted(Short("SUB        ", kAttrDir, 0, 0)), FatEntryCheck::ClusterOutOfRange},
      {"a folder with a size", Deleted(Short("SUB        ", kAttrDir, 30, 512)), FatEntryCheck::BadSize},
      {"a file larger than the data area", with(file, 28, {0, 0, 0x10, 0}), FatEntryCheck::BadSize},
      {"creation hundredths 200", with(file, 13, {200}), FatEntryCheck::BadTime},
      {"hour 24", with(file, 22, {0, 24 << 3}), FatEntryCheck::BadTime},
      {"month 13", with(file, 24, {0xA1, 0x57}), FatEntryCheck::BadTime},
      {"day 0 of an access date", with(file, 18, {0xA0, 0x56}), FatEntryCheck::BadTime},
  };
  // 300 clusters of 512 bytes: clusters 2 to 301, a data area of 153,600 bytes.
  for (const auto& c : cases)
    EXPECT_EQ(fatdir::CheckFolderEntry(c.entry, 300, 300 * 512), c.expected) << c.what;
}

// A deleted folder BIG (cluster 10) whose first cluster is full: "." and "..", four files
// whose long names take three entries each, and the two long-name entries of a fifth whose
// short entry would begin the next cluster. What follows decides how far the folder reaches.
TEST(FatDirWalk, DeletedFolderGoesOnWhileTheNextClusterIsItsPart) {
  std::vector<Entry> first;
  Names firstNames;
  for (int i = 1; i <= 4; ++i) {
    char name11[12];
    std::snprintf(name11, sizeof name11, "LONGNA~%dTXT", i);
    std::u16string name = u"Long name number " + text::Widen(std::to_string(i)) + u".txt";
    for (const auto& e : Deleted(Item(name, name11, kAttrFile, 100 + i, 10))) first.push_back(e);
    firstNames.push_back(name);
  }
  const std::vector<Entry> fifth = Deleted(Item(u"Long name number 5.txt", "LONGNA~5TXT", kAttrFile, 105, 10));
  first.push_back(fifth[0]);
  first.push_back(fifth[1]);
  ASSERT_EQ(first.size(), 14u);
  const Names withFifth = [&] {
    Names n = firstNames;
    n.push_back(u"Long name number 5.txt");
    return n;
  }();
  auto plus = [](Names a, const Names& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  Entry junk = fifth[2];
  junk[11] = 0x40;

  struct Case {
    const char* what;
    std::function<void(CFatTestImage&)> after;  // writes cluster 11 on (BIG's first is written already)
    std::set<uint64_t> badSectors;
    FatContinuation reason;
    FatEntryCheck why;  // for BadEntry
    Names names;
  } cases[] = {
      {"the rest of the folder and its end mark",
       [&](CFatTestImage& img) {
         img.WriteDir(11, Join({{fifth[2]}, DeletedFiles("FILE", 0, 3)}));
       },
       {}, FatContinuation::Ok, FatEntryCheck::Ok, plus(withFifth, DeletedNames("FILE", 0, 3))},
      {"a full cluster, then one with an end mark; what lies past the end mark is never read",
       [&](CFatTestImage& img) {
         img.WriteDir(11, Join({{fifth[2]}, DeletedFiles("FILE", 0, 15)}));
         img.WriteDir(12, Join({DeletedFiles("MORE", 0, 2), {Entry{}, junk}}));
         img.WriteDir(13, DeletedFiles("PAST", 0, 16));
       },
       {}, FatContinuation::Ok, FatEntryCheck::Ok,
       plus(plus(withFifth, DeletedNames("FILE", 0, 15)), DeletedNames("MORE", 0, 2))},
      {"a cluster of zeros: the folder ended with its first",
       [](CFatTestImage& img) { img.WriteDir(11, {Entry{}}); }, {}, FatContinuation::Ok, FatEntryCheck::Ok,
       firstNames},
      {"another folder's first cluster",
       [](CFatTestImage& img) { img.WriteFolder(11, 0, DeletedFiles("IN", 0, 2)); }, {},
       FatContinuation::BadEntry, FatEntryCheck::DotEntry, firstNames},
      {"text",
       [](CFatTestImage& img) {
         std::string t;
         while (t.size() < 512) t += "Plain text of a deleted file, line " + std::to_string(t.size()) + ".\r\n";
         img.Fill(11, std::vector<uint8_t>(t.begin(), t.begin() + 512));
       },
       {}, FatContinuation::BadEntry, FatEntryCheck::BadAttributes, firstNames},
      // FF D8 FF E0 00 ...: a 0 among the name bytes.
      {"a picture", [](CFatTestImage& img) { img.Fill(11, JpegLike(2000)); }, {}, FatContinuation::BadEntry,
       FatEntryCheck::BadName, firstNames},
      {"one bad entry refuses the whole cluster",
       [&](CFatTestImage& img) {
         img.WriteDir(11, Join({{fifth[2]}, DeletedFiles("FILE", 0, 8), {junk}, DeletedFiles("FILE", 8, 6)}));
       },
       {}, FatContinuation::BadEntry, FatEntryCheck::BadAttributes, firstNames},
      {"entries in a cluster the table gives to a file",
       [&](CFatTestImage& img) {
         img.WriteDir(11, Join({{fifth[2]}, DeletedFiles("FILE", 0, 3)}));
         img.Chain({11});
       },
       {}, FatContinuation::Allocated, FatEntryCheck::Ok, firstNames},
      {"entries in a cluster the table marks bad",
       [&](CFatTestImage& img) {
         img.WriteDir(11, Join({{fifth[2]}, DeletedFiles("FILE", 0, 3)}));
         img.SetFat(11, 0xFF7);
       },
       {}, FatContinuation::Allocated, FatEntryCheck::Ok, firstNames},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CFatTestImage img(300);
    img.WriteDir(0, {Deleted(Short("BIG        ", kAttrDir, 10, 0))});
    img.WriteFolder(10, 0, first);
    c.after(img);
    auto v = img.Open(c.badSectors);
    ASSERT_TRUE(v);
    FatEntryCheck why = FatEntryCheck::Ok;
    EXPECT_EQ(v->CheckFolderContinuation(11, 1, &why), c.reason);
    EXPECT_EQ(why, c.why);
    CDirectory* big = Child(v->m_pRoot, u"_IG");
    ASSERT_TRUE(big);
    EXPECT_EQ(ChildNames(big), c.names);
    for (const auto& child : big->m_children) EXPECT_TRUE(child->m_bDeleted);
  }
}

// Where the folder cannot go on: past the volume's end, into an unreadable sector, or past
// 65,536 entries; a live folder, or a deleted one whose chain the table still links, is
// never read past its chain.
TEST(FatDirWalk, DeletedFolderReachHasItsLimits) {
  {
    SCOPED_TRACE("the volume's last cluster");
    CFatTestImage img(300);
    img.WriteDir(0, {Deleted(Short("LAST       ", kAttrDir, 301, 0))});
    img.WriteFolder(301, 0, DeletedFiles("FILE", 0, 14));
    auto v = img.Open();
    ASSERT_TRUE(v);
    EXPECT_EQ(v->CheckFolderContinuation(302, 1), FatContinuation::OutOfVolume);
    EXPECT_EQ(ChildNames(Child(v->m_pRoot, u"_AST")), DeletedNames("FILE", 0, 14));
  }
  {
    SCOPED_TRACE("an unreadable sector");
    CFatTestImage img(300);
    img.WriteDir(0, {Deleted(Short("BIG        ", kAttrDir, 10, 0))});
    img.WriteFolder(10, 0, DeletedFiles("FILE", 0, 14));
    img.WriteDir(11, DeletedFiles("MORE", 0, 3));
    auto v = img.Open({img.ClusterSector(11)});
    ASSERT_TRUE(v);
    EXPECT_EQ(v->CheckFolderContinuation(11, 1), FatContinuation::Unreadable);
    EXPECT_EQ(ChildNames(Child(v->m_pRoot, u"_IG")), DeletedNames("FILE", 0, 14));
  }
  {
    SCOPED_TRACE("live folders and linked chains");
    CFatTestImage img(300);
    img.WriteDir(0, {Short("LIVE       ", kAttrDir, 10, 0), Deleted(Short("LINKED     ", kAttrDir, 20, 0))});
    img.Chain({10});
    img.WriteFolder(10, 0, DeletedFiles("FILE", 0, 14));
    img.WriteDir(11, DeletedFiles("MORE", 0, 3));
    // LINKED: deleted, but its table entries still link 20 -> 40; cluster 21 would pass.
    img.Chain({20, 40});
    img.WriteFolder(20, 0, DeletedFiles("FILE", 0, 14));
    img.WriteDir(21, DeletedFiles("NEXT", 0, 3));
    img.WriteDir(40, DeletedFiles("CHN", 0, 2));
    auto v = img.Open();
    ASSERT_TRUE(v);
    EXPECT_EQ(ChildNames(Child(v->m_pRoot, u"LIVE")), DeletedNames("FILE", 0, 14));
    Names linked = DeletedNames("FILE", 0, 14);
    for (const auto& n : DeletedNames("CHN", 0, 2)) linked.push_back(n);
    EXPECT_EQ(ChildNames(Child(v->m_pRoot, u"_INKED")), linked);
  }
  {
    SCOPED_TRACE("a subfolder in a later cluster");
    CFatTestImage img(300);
    img.WriteDir(0, {Deleted(Short("BIG        ", kAttrDir, 10, 0))});
    img.WriteFolder(10, 0, DeletedFiles("FILE", 0, 14));
    img.WriteDir(11, {Deleted(Short("SUB        ", kAttrDir, 50, 0))});
    img.WriteFolder(50, 10, DeletedFiles("DEEP", 0, 1));
    auto v = img.Open();
    ASSERT_TRUE(v);
    CDirectory* big = Child(v->m_pRoot, u"_IG");
    ASSERT_TRUE(big);
    EXPECT_TRUE(big->HasSubfolders(true));
    CDirectory* sub = Child(big, u"_UB");
    ASSERT_TRUE(sub);
    EXPECT_EQ(ChildNames(sub), DeletedNames("DEEP", 0, 1));
  }
  {
    SCOPED_TRACE("65,536 entries");
    // 4,200 clusters of 512 bytes, every one of them full of deleted entries: the folder
    // from cluster 2 reads 4,096 clusters, 65,536 entries, and stops.
    CFatTestImage img(4200);
    ASSERT_EQ(img.Width(), 16u);
    const std::vector<Entry> full = DeletedFiles("FILE", 0, 16);
    for (uint32_t c = 3; c < 4202; ++c) img.WriteDir(c, full);
    img.WriteFolder(2, 0, DeletedFiles("FILE", 0, 14));
    auto v = img.Open();
    ASSERT_TRUE(v);
    FatDirWalk walk(2, 0, 0, true);
    uint8_t e[32];
    uint64_t entries = 0;
    while (v->NextDirEntry(walk, e)) ++entries;
    EXPECT_EQ(entries, uint64_t(fatdir::kMaxFolderEntries));
    EXPECT_EQ(walk.nCluster, 2u + 4095);
    EXPECT_EQ(v->CheckFolderContinuation(2 + 4095, 4095), FatContinuation::Ok);
    EXPECT_EQ(v->CheckFolderContinuation(2 + 4096, 4096), FatContinuation::AtLimit);
  }
}
