#include "ntfs/MftRecord.h"
#include "ntfs/NtfsStream.h"

#include <cstring>
#include <fstream>

#include <gtest/gtest.h>

#include "ntfs/NTFSLayout.h"
#include "ntfs/RunList.h"
#include "platform/ByteReader.h"
#include "support/Fixtures.h"
#include "support/Bytes.h"

namespace {
// Record 0 of the tool-made NTFS image, as stored (before the fixup).
std::vector<uint8_t> RecordZero() {
  std::ifstream in(FixturePath("ntfs.img"), std::ios::binary);
  std::vector<uint8_t> boot(512);
  in.read(reinterpret_cast<char*>(boot.data()), 512);
  uint64_t cluster = uint64_t(bytes::RawLE16(&boot[0x0B])) * boot[0x0D];
  uint64_t mft = bytes::RawLE64(&boot[0x30]);
  std::vector<uint8_t> rec(1024);
  in.seekg(long(mft * cluster));
  in.read(reinterpret_cast<char*>(rec.data()), 1024);
  return rec;
}


// A 1024-byte record with the given attributes (already padded to multiples of 8).
std::vector<uint8_t> Record(const std::vector<std::vector<uint8_t>>& attributes) {
  std::vector<uint8_t> r(1024, 0);
  std::memcpy(r.data(), "FILE", 4);
  PutLE16(r, 4, 0x30);  // update sequence array at 0x30, 3 entries
  PutLE16(r, 6, 3);
  PutLE16(r, 0x14, 0x38);
  size_t pos = 0x38;
  for (const auto& a : attributes) {
    std::copy(a.begin(), a.end(), r.begin() + long(pos));
    pos += a.size();
  }
  PutLE32(r, pos, 0xFFFFFFFF);
  return r;
}

// A resident $FILE_NAME attribute naming parent, with an optional attribute name.
std::vector<uint8_t> FileName(uint32_t parent, char16_t first, bool named = false, uint8_t nameSpace = 0) {
  std::vector<uint8_t> a(0x18 + 0x48, 0);
  PutLE32(a, 0, 0x30);
  PutLE32(a, 4, uint32_t(a.size()));
  if (named) {
    a[9] = 1;
    PutLE16(a, 0x0A, 0x18 + 0x44);
  }
  PutLE32(a, 0x10, 0x44);
  PutLE16(a, 0x14, 0x18);
  PutLE32(a, 0x18, parent);
  a[0x18 + 0x40] = 1;
  a[0x18 + 0x41] = nameSpace;
  PutLE16(a, 0x18 + 0x42, first);
  return a;
}
}  // namespace

TEST(MftRecord, ReadsARealRecordZero) {
  auto rec = RecordZero();
  ASSERT_TRUE(ApplyFixup(rec));
  ASSERT_EQ(CheckRecord(rec), RecordCheck::Ok);
  AttributeView data = FindAttribute(rec, ntfsrecord::kData);
  ASSERT_TRUE(data);
  EXPECT_TRUE(data.NonResident());
  std::vector<NtfsRun> runs;
  ASSERT_EQ(DecodeRunList(data.RunList().data(), data.RunList().size(), data.FirstVcn(), 0, runs), RunListResult::Ok);
  ASSERT_FALSE(runs.empty());
  EXPECT_EQ(runs.back().nVcn + runs.back().nLength, data.LastVcn() + 1);
  AttributeView name = FindAttribute(rec, ntfsrecord::kFileName);
  ASSERT_TRUE(name);
  EXPECT_EQ(bytes::RawLE16(name.Value().data() + 0x42), u'$');
}

TEST(MftRecord, TheGateRefusesRecordsThatPointOutside) {
  auto base = RecordZero();
  ASSERT_TRUE(ApplyFixup(base));
  struct Case {
    const char* what;
    size_t at;
    std::vector<uint8_t> bytes;
    RecordCheck expected;
  } cases[] = {
      {"not FILE", 0, {'B', 'A', 'A', 'D'}, RecordCheck::NotARecord},
      {"update sequence past the record", 6, {0xFF, 0x00}, RecordCheck::Corrupt},
      {"first attribute past the record", 0x14, {0x00, 0x04}, RecordCheck::Corrupt},
      {"first attribute inside the header", 0x14, {0x08, 0x00}, RecordCheck::Corrupt},
  };
  for (const auto& c : cases) {
    auto rec = base;
    std::copy(c.bytes.begin(), c.bytes.end(), rec.begin() + long(c.at));
    EXPECT_EQ(CheckRecord(rec), c.expected) << c.what;
  }
  // The first attribute's length and a resident value that do not fit.
  size_t first = bytes::RawLE16(&base[0x14]);
  for (uint32_t len : {0u, 4u, 0x7FFFFFF8u, 13u}) {
    auto rec = base;
    PutLE32(rec, first + 4, len);
    EXPECT_EQ(CheckRecord(rec), RecordCheck::Corrupt) << "length " << len;
  }
  auto rec = base;
  PutLE32(rec, first + 0x10, 0x10000);  // $STANDARD_INFORMATION is resident
  EXPECT_EQ(CheckRecord(rec), RecordCheck::Corrupt);
  std::vector<uint8_t> tiny(20, 0);
  std::memcpy(tiny.data(), "FILE", 4);
  EXPECT_EQ(CheckRecord(tiny), RecordCheck::NotARecord);
  EXPECT_FALSE(ApplyFixup(tiny));
}

TEST(MftRecord, TheLongNameIsShownWhateverTheOrderOfTheNames) {
  // Namespaces: 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS. Windows writes the DOS name
  // first, ntfs-3g after the long one; hard links are further names.
  struct Case {
    const char* what;
    std::vector<std::vector<uint8_t>> names;
    uint32_t shown;                     // parent of the name FindAttribute gives, 0 for none
    std::vector<uint32_t> listed;       // parents of the names ForEachListedName gives
  } cases[] = {
      {"DOS then Win32", {FileName(5, u'L', false, 2), FileName(6, u'M', false, 1)}, 6, {6}},
      {"Win32 then DOS", {FileName(6, u'M', false, 1), FileName(5, u'L', false, 2)}, 6, {6}},
      {"only a DOS name", {FileName(5, u'L', false, 2)}, 5, {5}},
      {"Win32 and DOS in one", {FileName(7, u'W', false, 3)}, 7, {7}},
      {"two hard links and a DOS name",
       {FileName(5, u'L', false, 2), FileName(6, u'A', false, 1), FileName(9, u'B', false, 0)}, 6, {6, 9}},
      {"a named attribute is passed over", {FileName(5, u'A', true), FileName(6, u'B')}, 6, {6}},
      {"no name", {}, 0, {}},
  };
  for (const auto& c : cases) {
    auto r = Record(c.names);
    ASSERT_EQ(CheckRecord(r), RecordCheck::Ok) << c.what;
    AttributeView a = FindAttribute(r, 0x30);
    EXPECT_EQ(a ? bytes::RawLE32(a.Value().data()) : 0u, c.shown) << c.what;
    std::vector<uint32_t> listed;
    ForEachListedName(r, [&](const NtfsFileNameView& n) { listed.push_back(uint32_t(n.Parent())); });
    EXPECT_EQ(listed, c.listed) << c.what;
  }
}
