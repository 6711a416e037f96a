// The ZIP and RAR listers on real archives (tests/fixtures/preview: python's zipfile, Info-ZIP
// zip, hand-written RAR 4 and 5 with real checksums), on archives cut short, and on hostile
// damage to them; and the preview size rule.
#include "preview/ArchiveListing.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/LocalTime.h"
#include "platform/Text.h"
#include "preview/PreviewRules.h"
#include "support/Bytes.h"

namespace {

using Archive = std::vector<uint8_t>;
using Lister = bool (*)(std::span<const uint8_t>, std::vector<CArchiveEntry>&);

Archive Fixture(const std::string& name) {
  std::ifstream in(std::string(QUARROW_FIXTURE_DIR "/preview/") + name, std::ios::binary);
  Archive bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.empty()) ADD_FAILURE() << "cannot read fixture " << name;
  return bytes;
}

struct Listed {
  std::string strName;  // UTF-8
  uint64_t nSize;
};

std::vector<Listed> Summary(const std::vector<CArchiveEntry>& entries) {
  std::vector<Listed> out;
  for (const CArchiveEntry& e : entries) out.push_back({text::ToUtf8(e.strName), e.nSize});
  return out;
}

void ExpectListing(const std::vector<CArchiveEntry>& entries, const std::vector<Listed>& expected,
                   const std::string& what) {
  const std::vector<Listed> got = Summary(entries);
  ASSERT_EQ(got.size(), expected.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].strName, expected[i].strName) << what << ", entry " << i;
    EXPECT_EQ(got[i].nSize, expected[i].nSize) << what << ", entry " << i;
  }
}

std::string LocalText(int64_t t) {
  localtime_::CalendarFields f;
  if (!localtime_::ToLocal(t, f)) return "invalid";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", f.nYear, f.nMonth, f.nDay, f.nHour, f.nMinute,
                f.nSecond);
  return buf;
}

void Append16(Archive& b, uint16_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void Append32(Archive& b, uint32_t v) {
  Append16(b, uint16_t(v));
  Append16(b, uint16_t(v >> 16));
}

// Offsets of every occurrence of a signature.
std::vector<size_t> FindAll(const Archive& b, const std::string& sig) {
  const std::string s(b.begin(), b.end());
  std::vector<size_t> at;
  for (size_t i = s.find(sig); i != std::string::npos; i = s.find(sig, i + 1)) at.push_back(i);
  return at;
}
size_t Find(const Archive& b, const std::string& sig) {
  const std::vector<size_t> at = FindAll(b, sig);
  if (at.empty()) {
    ADD_FAILURE() << "signature not found";
    return 0;
  }
  return at.front();
}
const std::string kEnd("PK\x05\x06", 4), kCentral("PK\x01\x02", 4), kZip64End("PK\x06\x06", 4),
    kZip64Locator("PK\x06\x07", 4), kLocal("PK\x03\x04", 4);

// A one-entry ZIP ("big.bin", stored, no data) whose central header carries the given sizes
// and extra field, as a writer of large files puts them.
Archive ZipWithCentralExtra(uint32_t unpacked32, const Archive& extra) {
  Archive b;
  const std::string name = "big.bin";
  const uint16_t nameLen = uint16_t(name.size()), extraLen = uint16_t(extra.size());
  // Local header: version, flags, method, time, date (2020-01-01); CRC, sizes; name and
  // extra lengths.
  Append32(b, 0x04034B50);
  for (uint16_t v : {20, 0, 0, 0, 0x5021}) Append16(b, v);
  for (uint32_t v : {0, 0, 0}) Append32(b, v);
  for (uint16_t v : {nameLen, uint16_t(0)}) Append16(b, v);
  b.insert(b.end(), name.begin(), name.end());
  // Central header: versions, flags, method, time, date; CRC, sizes; name, extra and comment
  // lengths, disk, internal attributes; external attributes, local header offset.
  const uint32_t cdOffset = uint32_t(b.size());
  Append32(b, 0x02014B50);
  for (uint16_t v : {45, 45, 0, 0, 0, 0x5021}) Append16(b, v);
  for (uint32_t v : {0u, 0u, unpacked32}) Append32(b, v);
  for (uint16_t v : {nameLen, extraLen, uint16_t(0), uint16_t(0), uint16_t(0)}) Append16(b, v);
  for (uint32_t v : {0, 0}) Append32(b, v);
  b.insert(b.end(), name.begin(), name.end());
  b.insert(b.end(), extra.begin(), extra.end());
  // End record: disks, counts, directory size and offset, comment length.
  const uint32_t cdSize = uint32_t(b.size()) - cdOffset;
  Append32(b, 0x06054B50);
  for (uint16_t v : {0, 0, 1, 1}) Append16(b, v);
  for (uint32_t v : {cdSize, cdOffset}) Append32(b, v);
  Append16(b, 0);
  return b;
}
Archive ExtraBlock(uint16_t id, uint16_t declaredLength, const Archive& data) {
  Archive b;
  Append16(b, id);
  Append16(b, declaredLength);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}
Archive Le64Bytes(uint64_t v) {
  Archive b(8);
  PutLE64(b, 0, v);
  return b;
}
Archive Concat(std::initializer_list<Archive> parts) {
  Archive b;
  for (const Archive& p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}

const std::vector<Listed> kInfoZipFiles = {{"docs/a.txt", 240}, {"readme.txt", 3}, {"empty.bin", 300}};
const std::vector<Listed> kRar4Files = {{"docs\\a.txt", 240}, {"readme.txt", 3}};
const std::vector<Listed> kRar5Files = {{"docs/café.txt", 240}, {"readme.txt", 3}};

}  // namespace

TEST(ArchiveListing, ListsRealArchivesWithoutTheirFolders) {
  const Lister zip = &ListZipEntries, rar = &ListRarEntries;
  struct Case {
    const char* file;
    bool isZip;
    std::vector<Listed> entries;
    std::string firstTime;  // local time of the first entry
  } cases[] = {
      {"folder_first.zip", true, {{"photos/beach.txt", 500}, {"notes.txt", 12}}, "2023-11-14 22:13:20"},
      {"descriptors.zip", true, {{"first.txt", 200}, {"second.txt", 280}, {"third.bin", 256}}, "2023-11-14 22:13:20"},
      {"zip64.zip", true, {{"big one.dat", 1000}}, "2023-11-14 22:13:20"},
      {"infozip.zip", true, kInfoZipFiles, "2020-02-29 12:34:56"},
      {"infozip_stdin.zip", true, {{"-", 3}}, "2020-02-29 12:34:56"},
      {"stored_v4.rar", false, kRar4Files, "2020-02-29 12:34:56"},
      // RAR 5 keeps Unix times: 2020-02-29 12:34:56 UTC.
      {"stored_v5.rar", false, kRar5Files, LocalText(1582979696)},
  };
  for (const Case& c : cases) {
    const Archive bytes = Fixture(c.file);
    std::vector<CArchiveEntry> entries;
    ASSERT_TRUE((c.isZip ? zip : rar)(bytes, entries)) << c.file;
    ExpectListing(entries, c.entries, c.file);
    if (!entries.empty()) {
      EXPECT_EQ(LocalText(entries[0].tModified), c.firstTime) << c.file;
    }
    // Each lister refuses the other's archives and leaves the list empty.
    entries.push_back({u"stale", 1, 1});
    EXPECT_FALSE((c.isZip ? rar : zip)(bytes, entries)) << c.file;
    EXPECT_TRUE(entries.empty()) << c.file;
  }
}

// Without its central directory (a recovered file cut short), a ZIP is listed from its local
// headers: up to the first entry whose sizes follow its data, with 64-bit sizes from the
// ZIP64 field of the local header.
TEST(ArchiveListing, CutZipIsListedFromItsLocalHeaders) {
  struct Case {
    const char* file;
    std::vector<Listed> entries;
  } cases[] = {
      {"folder_first.zip", {{"photos/beach.txt", 500}, {"notes.txt", 12}}},
      {"infozip.zip", kInfoZipFiles},
      {"descriptors.zip", {{"first.txt", 0}}},
      {"zip64.zip", {{"big one.dat", 1000}}},
      {"infozip_stdin.zip", {{"-", 3}}},
  };
  for (const Case& c : cases) {
    Archive bytes = Fixture(c.file);
    bytes.resize(Find(bytes, kCentral));
    std::vector<CArchiveEntry> entries;
    ASSERT_TRUE(ListZipEntries(bytes, entries)) << c.file;
    ExpectListing(entries, c.entries, std::string(c.file) + " cut before its central directory");
  }
}

TEST(ArchiveListing, HostileZipIsListedAsFarAsItHoldsOrRefused) {
  const Archive infozip = Fixture("infozip.zip");
  const Archive stdinZip = Fixture("infozip_stdin.zip");
  // Central headers of docs/, docs/a.txt, readme.txt and empty.bin; local headers likewise.
  const std::vector<size_t> central = FindAll(infozip, kCentral), local = FindAll(infozip, kLocal);
  ASSERT_EQ(central.size(), 4u);
  ASSERT_EQ(local.size(), 4u);
  const size_t end = Find(infozip, kEnd), firstCentral = central[0], lastCentral = central[3];
  // The stdin archive with the end record's fields set to the ZIP64 markers, so that the
  // ZIP64 end record gives the directory.
  Archive viaZip64 = stdinZip;
  {
    const size_t e = Find(viaZip64, kEnd);
    PutLE16(viaZip64, e + 8, 0xFFFF);
    PutLE16(viaZip64, e + 10, 0xFFFF);
    PutLE32(viaZip64, e + 12, 0xFFFFFFFF);
    PutLE32(viaZip64, e + 16, 0xFFFFFFFF);
  }
  const size_t zip64End = Find(viaZip64, kZip64End), locator = Find(viaZip64, kZip64Locator);

  struct Case {
    const char* what;
    Archive bytes;
    bool ok;
    std::vector<Listed> entries;
  } cases[] = {
      {"end record's entry count larger than the directory", [&] {
         Archive b = infozip;
         PutLE16(b, end + 8, 60000);
         PutLE16(b, end + 10, 60000);
         return b;
       }(), true, kInfoZipFiles},
      {"central directory cut inside its third entry (size field)", [&] {
         Archive b = infozip;
         PutLE32(b, end + 12, uint32_t(central[2] - firstCentral + 20));
         return b;
       }(), true, {{"docs/a.txt", 240}}},
      {"file cut inside the central directory: local headers",
       Archive(infozip.begin(), infozip.begin() + ptrdiff_t(lastCentral) + 10), true, kInfoZipFiles},
      {"end record cut off: local headers", Archive(infozip.begin(), infozip.begin() + ptrdiff_t(end) + 12), true,
       kInfoZipFiles},
      {"first central name length past the end: local headers", [&] {
         Archive b = infozip;
         PutLE16(b, firstCentral + 28, 0xFFFF);
         return b;
       }(), true, kInfoZipFiles},
      {"last central name length past the end", [&] {
         Archive b = infozip;
         PutLE16(b, lastCentral + 28, 0xFFFF);
         return b;
       }(), true, {{"docs/a.txt", 240}, {"readme.txt", 3}}},
      {"directory offset and size past the file: local headers", [&] {
         Archive b = infozip;
         PutLE32(b, end + 12, 0xFFFFFFF0);
         PutLE32(b, end + 16, 0xFFFFFFF0);
         return b;
       }(), true, kInfoZipFiles},
      {"cut archive whose first local name runs past the end", [&] {
         Archive b(infozip.begin(), infozip.begin() + ptrdiff_t(firstCentral));
         PutLE16(b, 26, 0xFFFF);
         return b;
       }(), true, {}},
      {"cut archive whose packed size runs past the end", [&] {
         Archive b(infozip.begin(), infozip.begin() + ptrdiff_t(firstCentral));
         PutLE32(b, local[1] + 18, 0xFFFFFFF0);
         return b;
       }(), true, {{"docs/a.txt", 240}}},
      {"ZIP64 end record gives the directory", viaZip64, true, {{"-", 3}}},
      {"ZIP64 locator offset outside the file: local headers", [&] {
         Archive b = viaZip64;
         PutLE64(b, locator + 8, uint64_t(1) << 40);
         return b;
       }(), true, {{"-", 3}}},
      {"ZIP64 directory offset outside the file: the directory ends at the record", [&] {
         Archive b = viaZip64;
         PutLE64(b, zip64End + 48, uint64_t(1) << 62);
         return b;
       }(), true, {{"-", 3}}},
      {"ZIP64 entry count 2^62", [&] {
         Archive b = viaZip64;
         PutLE64(b, zip64End + 32, uint64_t(1) << 62);
         return b;
       }(), true, {{"-", 3}}},
      {"ZIP64 directory size larger than the file: local headers", [&] {
         Archive b = viaZip64;
         PutLE64(b, zip64End + 40, ~uint64_t(0));
         return b;
       }(), true, {{"-", 3}}},
      {"cut ZIP64 archive whose local extra length is 0: the markers stay, the walk ends", [&] {
         Archive b(stdinZip.begin(), stdinZip.begin() + ptrdiff_t(Find(stdinZip, kCentral)));
         PutLE16(b, 28, 0);
         return b;
       }(), true, {{"-", 0xFFFFFFFF}}},
      {"central ZIP64 size after another extra block",
       ZipWithCentralExtra(0xFFFFFFFF, Concat({ExtraBlock(0x5455, 5, Archive(5, 0)),
                                                ExtraBlock(1, 8, Le64Bytes(5000000000))})),
       true, {{"big.bin", 5000000000}}},
      {"central extra block longer than the extra field",
       ZipWithCentralExtra(0xFFFFFFFF, ExtraBlock(1, 200, Le64Bytes(5000000000))), true,
       {{"big.bin", 0xFFFFFFFF}}},
      {"central ZIP64 block too short for the size",
       ZipWithCentralExtra(0xFFFFFFFF, ExtraBlock(1, 4, Archive(4, 0x11))), true, {{"big.bin", 0xFFFFFFFF}}},
      {"central ZIP64 block ignored for a 32-bit size", ZipWithCentralExtra(77, ExtraBlock(1, 8, Le64Bytes(5))),
       true, {{"big.bin", 77}}},
      {"end record alone", Archive(infozip.begin() + ptrdiff_t(end), infozip.end()), false, {}},
      {"not a ZIP", Archive{'n', 'o', 't', ' ', 'a', ' ', 'z', 'i', 'p'}, false, {}},
      {"empty", Archive{}, false, {}},
  };
  for (const Case& c : cases) {
    std::vector<CArchiveEntry> entries{{u"stale", 1, 1}};
    EXPECT_EQ(ListZipEntries(c.bytes, entries), c.ok) << c.what;
    ExpectListing(entries, c.entries, c.what);
  }
}

// RAR headers at known places of the fixtures: RAR 4's first file header (the folder "docs")
// at 20, "docs\a.txt" at 56; RAR 5's main header size at 12, and "docs/café.txt"'s header at
// 38: CRC32, size (42), type (43), flags (44), data size (45, two bytes), ..., name length (61).
TEST(ArchiveListing, HostileRarIsListedUpToTheDamage) {
  const Archive rar4 = Fixture("stored_v4.rar");
  const Archive rar5 = Fixture("stored_v5.rar");
  ASSERT_GE(rar4.size(), 120u);
  ASSERT_EQ(rar4[20 + 2], 0x74);
  ASSERT_EQ(rar4[56 + 2], 0x74);
  ASSERT_EQ(rar4[56 + 32], 'd');
  ASSERT_GE(rar5.size(), 80u);
  ASSERT_EQ(rar5[38 + 5], 2);     // type: file
  ASSERT_EQ(rar5[38 + 7], 0xF0);  // data size 240, two bytes
  ASSERT_EQ(rar5[61], 14);        // "docs/café.txt" in UTF-8
  auto patched = [](Archive b, const std::function<void(Archive&)>& change) {
    change(b);
    return b;
  };
  struct Case {
    const char* what;
    Archive bytes;
    bool ok;
    std::vector<Listed> entries;
  } cases[] = {
      {"RAR 4 header size 0", patched(rar4, [](Archive& b) { PutLE16(b, 20 + 5, 0); }), true, {}},
      {"RAR 4 header size past the end", patched(rar4, [](Archive& b) { PutLE16(b, 20 + 5, 0xFFFF); }), true, {}},
      {"RAR 4 file header shorter than its fixed fields", patched(rar4, [](Archive& b) { PutLE16(b, 56 + 5, 31); }),
       true, {}},
      {"RAR 4 name size past its header", patched(rar4, [](Archive& b) { PutLE16(b, 56 + 26, 200); }), true, {}},
      {"RAR 4 packed size past the end",
       patched(rar4, [](Archive& b) { PutLE32(b, 56 + 7, 0xFFFFFFF0); }), true, {{"docs\\a.txt", 240}}},
      {"RAR 4 64-bit sizes (flag 0x100) leave no room for the name",
       patched(rar4, [](Archive& b) { b[56 + 4] |= 0x01; }), true, {}},
      {"RAR 4 archive header of another type", patched(rar4, [](Archive& b) { b[7 + 2] = 0x74; }), true, {}},
      {"RAR 4 cut inside the second file's data", Archive(rar4.begin(), rar4.begin() + 150), true,
       {{"docs\\a.txt", 240}}},
      {"RAR 5 header size 0", patched(rar5, [](Archive& b) { b[8 + 4] = 0; }), true, {}},
      {"RAR 5 header size past the end", patched(rar5, [](Archive& b) { b[42] = 0xFF; b[43] = 0x7F; }), true, {}},
      {"RAR 5 header size vint of 11 bytes", [&] {
         Archive b(rar5.begin(), rar5.begin() + 12);
         b.insert(b.end(), 10, 0x80);
         b.push_back(0x01);
         b.insert(b.end(), rar5.begin() + 13, rar5.end());
         return b;
       }(), true, {}},
      {"RAR 5 data size past the end", patched(rar5, [](Archive& b) { b[46] = 0x7F; }), true,
       {{"docs/café.txt", 240}}},
      {"RAR 5 name length past its header", patched(rar5, [](Archive& b) { b[61] = 0x7E; }), true, {}},
      {"RAR 5 cut inside the second file's data", Archive(rar5.begin(), rar5.begin() + 150), true,
       {{"docs/café.txt", 240}}},
      {"RAR marker alone (version 5)", Archive(rar5.begin(), rar5.begin() + 8), true, {}},
      {"RAR marker cut", Archive{'R', 'a', 'r', '!'}, false, {}},
      {"RAR marker of an unknown version", patched(rar5, [](Archive& b) { b[6] = 0x02; }), false, {}},
  };
  for (const Case& c : cases) {
    std::vector<CArchiveEntry> entries{{u"stale", 1, 1}};
    EXPECT_EQ(ListRarEntries(c.bytes, entries), c.ok) << c.what;
    ExpectListing(entries, c.entries, c.what);
  }
}

// A walk visits at most kMaxArchiveHeaders headers: a RAR 4 archive of that many empty blocks
// before its two file headers lists nothing, one block fewer lists the first file.
TEST(ArchiveListing, WalkEndsAtTheHeaderCeiling) {
  const Archive rar4 = Fixture("stored_v4.rar");
  const Archive head(rar4.begin(), rar4.begin() + 20), files(rar4.begin() + 56, rar4.end());
  const Archive emptyBlock = {0, 0, 0x7A, 0, 0, 7, 0};  // a subblock without data
  for (size_t blocks : {kMaxArchiveHeaders - 1, kMaxArchiveHeaders}) {
    Archive b = head;
    b.reserve(b.size() + blocks * emptyBlock.size() + files.size());
    for (size_t i = 0; i < blocks; ++i) b.insert(b.end(), emptyBlock.begin(), emptyBlock.end());
    b.insert(b.end(), files.begin(), files.end());
    std::vector<CArchiveEntry> entries;
    ASSERT_TRUE(ListRarEntries(b, entries)) << blocks;
    EXPECT_EQ(entries.size(), blocks < kMaxArchiveHeaders ? 1u : 0u) << blocks;
  }
}

// Every cut of every archive lists or refuses; a refusal leaves the list empty.
TEST(ArchiveListing, EveryCutListsOrRefuses) {
  for (const char* file :
       {"folder_first.zip", "descriptors.zip", "zip64.zip", "infozip.zip", "infozip_stdin.zip", "stored_v4.rar",
        "stored_v5.rar"}) {
    const Archive whole = Fixture(file);
    for (size_t n = 0; n <= whole.size(); ++n) {
      const Archive cut(whole.begin(), whole.begin() + ptrdiff_t(n));
      for (Lister list : {Lister(&ListZipEntries), Lister(&ListRarEntries)}) {
        std::vector<CArchiveEntry> entries{{u"stale", 1, 1}};
        if (!list(cut, entries)) {
          EXPECT_TRUE(entries.empty()) << file << " cut at " << n;
        }
      }
    }
  }
}

TEST(PreviewRules, SizeLimitIsTheSettingInMiBBelow4GiB) {
  constexpr uint64_t MiB = 1 << 20, GiB4 = uint64_t(1) << 32;
  struct Case {
    uint64_t size;
    uint32_t limitMiB;
    bool allowed;
  } cases[] = {
      {0, 0, true},
      {1, 0, false},
      {MiB, 1, true},
      {MiB + 1, 1, false},
      {10 * MiB, 10, true},
      {10 * MiB + 1, 10, false},
      {50 * MiB, 50, true},
      {GiB4 - 1, 4096, true},
      {GiB4, 4096, false},
      {GiB4, 0xFFFFFFFF, false},
      {~uint64_t(0), 0xFFFFFFFF, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CanPreviewSize(c.size, c.limitMiB), c.allowed) << c.size << " bytes, limit " << c.limitMiB << " MiB";
  EXPECT_EQ(PreviewByteLimit(10), 10 * MiB);
  EXPECT_EQ(PreviewByteLimit(0xFFFFFFFF), GiB4 - 1);
}
