// Extent rules of the document, archive, mail and multimedia formats, measured through
// MeasureFile on small hand-built files placed in a memory volume.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "deepscan/FileTypes.h"
#include "deepscan/UnitStream.h"
#include "deepscan/formats/FormatTable.h"
#include "support/MemoryVolume.h"
#include "support/Bytes.h"

namespace {
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kStart = 2;  // the first unit of a memory volume

void Put(Bytes& b, size_t at, const void* p, size_t n) {
  if (b.size() < at + n) b.resize(at + n, 0);
  std::memcpy(b.data() + at, p, n);
}
void Put(Bytes& b, size_t at, const char* s) { Put(b, at, s, std::strlen(s)); }
void PutBE32(Bytes& b, size_t at, uint32_t v) {
  uint8_t x[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
  Put(b, at, x, 4);
}
void PutBE64(Bytes& b, size_t at, uint64_t v) {
  PutBE32(b, at, uint32_t(v >> 32));
  PutBE32(b, at + 4, uint32_t(v));
}
void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
void Append(Bytes& b, const char* s) { b.insert(b.end(), s, s + std::strlen(s)); }
Bytes Filler(size_t n, uint8_t value = 0x55) { return Bytes(n, value); }

// A volume holding file at unit 2 and `spare` zero units after it (the stream reads one
// unit ahead when a read ends at a unit's end).
struct CVolumeOf {
  explicit CVolumeOf(const Bytes& file, uint64_t spare = 4)
      : mem(PlaceAt(file, kStart, kStart + (file.size() + 511) / 512 + spare)) {}
  CVolumeOf& Only(std::initializer_list<ScanFlag> flags) {
    SetAllScanFlags(mem.Volume(), false);
    for (ScanFlag f : flags) mem.Volume().*f = 1;
    return *this;
  }
  CMemoryVolume::Result Measure() { return mem.Measure(kStart); }
  CMemoryVolume mem;
};

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

// ---------------------------------------------------------------- compound document

constexpr uint32_t kFree = 0xFFFFFFFF;
constexpr uint32_t kEnd = 0xFFFFFFFE;
constexpr uint32_t kFatMark = 0xFFFFFFFD;

// A compound file of `sectors` sectors of 2^shift bytes after the 512-byte header (sector
// n at (n + 1) x S). Only the fields the rule reads are filled.
struct CCompound {
  explicit CCompound(uint16_t shift = 9, uint32_t sectors = 0) : nSectorBytes(uint32_t(1) << shift) {
    Put(bytes, 0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1");
    PutLE16(bytes, 0x1E, shift);
    for (size_t i = 0; i < 109; ++i) PutLE32(bytes, 0x4C + 4 * i, kFree);
    bytes.resize(Offset(sectors), 0);
  }
  size_t Offset(uint32_t sector) const { return size_t(sector + 1) * nSectorBytes; }
  void Resize(uint32_t sectors) { bytes.resize(Offset(sectors), 0); }
  void HeaderFat(size_t i, uint32_t fatSector) { PutLE32(bytes, 0x4C + 4 * i, fatSector); }
  void Directory(uint32_t first) { PutLE32(bytes, 0x30, first); }
  void Difat(uint32_t first, uint32_t count) {
    PutLE32(bytes, 0x44, first);
    PutLE32(bytes, 0x48, count);
  }
  // A table sector of free entries.
  void FreeSector(uint32_t sector) {
    for (uint32_t j = 0; j < nSectorBytes / 4; ++j) PutLE32(bytes, Offset(sector) + 4 * j, kFree);
  }
  void Entry(uint32_t sector, uint32_t index, uint32_t value) { PutLE32(bytes, Offset(sector) + 4 * index, value); }
  // Directory entry `slot` of sector `sector`: its UTF-16LE name and name length.
  void Name(uint32_t sector, uint32_t slot, const char* name) {
    size_t at = Offset(sector) + 128 * slot;
    size_t n = std::strlen(name);
    for (size_t i = 0; i < n; ++i) Put(bytes, at + 2 * i, name + i, 1);
    PutLE16(bytes, at + 0x40, uint16_t((n + 1) * 2));
  }
  uint32_t nSectorBytes;
  Bytes bytes;
};

// The 21,504-byte document: one FAT sector (0) whose last used entry is 40, the directory
// in sector 1 with "Root Entry", `first` and `second`, a stream in sectors 2 to 40.
CCompound SmallDocument(const char* first, const char* second) {
  CCompound c(9, 41);
  c.HeaderFat(0, 0);
  c.Directory(1);
  c.FreeSector(0);
  c.Entry(0, 0, kFatMark);
  c.Entry(0, 1, kEnd);
  for (uint32_t s = 2; s < 40; ++s) c.Entry(0, s, s + 1);
  c.Entry(0, 40, kEnd);
  c.Name(1, 0, "Root Entry");
  c.Name(1, 1, first);
  c.Name(1, 2, second);
  return c;
}

TEST(DocumentRules, CompoundDocumentTakesTheFirstEnabledStreamName) {
  using D = CLogicalDriver;
  struct Case {
    const char* szFirst;
    const char* szSecond;
    std::vector<ScanFlag> flags;
    bool bOk;
    const char* szExtension;
  } cases[] = {
      {"WordDocument", "Workbook", {&D::m_bScanDOC, &D::m_bScanXLS}, true, "DOC"},
      {"WordDocument", "Workbook", {&D::m_bScanXLS}, true, "XLS"},
      {"WordDocument", "Workbook", {&D::m_bScanDOC}, true, "DOC"},
      {"PowerPoint Document", "Pictures", {&D::m_bScanPPT}, true, "PPT"},
      {"VisioDocument", "", {&D::m_bScanVSD}, true, "VSD"},
      // A message's stream names share a prefix; only the prefix is compared.
      {"__substg1.0_001A001F", "", {&D::m_bScanMSG}, true, "MSG"},
      {"__substg1.0_001A001F", "", {&D::m_bScanDOC, &D::m_bScanXLS}, false, "MSCOMP"},
      // The name field must match whole: a longer name with the same start does not.
      {"WordDocumentX", "Workbook2", {&D::m_bScanDOC, &D::m_bScanXLS}, false, "MSCOMP"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.szFirst);
    CCompound doc = SmallDocument(c.szFirst, c.szSecond);
    ASSERT_EQ(doc.bytes.size(), 21504u);
    CVolumeOf vol(doc.bytes);
    vol.Only({});
    for (ScanFlag f : c.flags) vol.mem.Volume().*f = 1;
    auto r = vol.Measure();
    EXPECT_EQ(r.bOk, c.bOk);
    EXPECT_EQ(Narrow(r.strExtension), c.szExtension);
    if (c.bOk) {
      EXPECT_EQ(r.nLength, 512u + 41 * 512);
    }
  }
}

TEST(DocumentRules, CompoundDocumentFollowsTheDirectoryChainForwardOnly) {
  // Directory sectors 3 -> 5: the second sector is reached.
  CCompound fwd = SmallDocument("Root Entry", "");
  fwd.Directory(3);
  fwd.Entry(0, 3, 5);
  fwd.Entry(0, 5, kEnd);
  fwd.Name(5, 1, "WordDocument");
  auto r = CVolumeOf(fwd.bytes).Measure();
  EXPECT_TRUE(r.bOk);
  EXPECT_EQ(Narrow(r.strExtension), "DOC");

  // Directory sectors 3 -> 2 -> 5: the link of entry 2 was passed before the chain
  // reached it, so sector 5 is never read.
  CCompound back = SmallDocument("Root Entry", "");
  back.Directory(3);
  back.Entry(0, 3, 2);
  back.Entry(0, 2, 5);
  back.Entry(0, 5, kEnd);
  back.Name(5, 1, "WordDocument");
  r = CVolumeOf(back.bytes).Measure();
  EXPECT_FALSE(r.bOk);
  EXPECT_EQ(Narrow(r.strExtension), "MSCOMP");
}

TEST(DocumentRules, CompoundDocumentCountsEachTableSector) {
  // 4 KiB sectors: the header counts 512 bytes, not its whole 4 KiB sector.
  CCompound big(12, 3);
  big.HeaderFat(0, 0);
  big.Directory(1);
  big.FreeSector(0);
  big.Entry(0, 0, kFatMark);
  big.Entry(0, 1, kEnd);
  big.Entry(0, 2, kEnd);
  big.Name(1, 0, "Root Entry");
  big.Name(1, 1, "Workbook");
  auto r = CVolumeOf(big.bytes).Measure();
  EXPECT_TRUE(r.bOk);
  EXPECT_EQ(Narrow(r.strExtension), "XLS");
  EXPECT_EQ(r.nLength, 512u + 3 * 4096);

  // Two FAT sectors, one from the header (0) and one from an extra-table sector (2,
  // listing FAT sector 3): 128 + 3 entries accounted, the file's true size. The directory
  // chain 1 -> 129 crosses into the second FAT sector, whose entry 1 is table index 129.
  CCompound two(9, 131);
  two.HeaderFat(0, 0);
  two.Difat(2, 1);
  two.Directory(1);
  two.FreeSector(2);
  two.FreeSector(3);
  two.Entry(2, 0, 3);
  for (uint32_t j = 0; j < 128; ++j) two.Entry(0, j, kFatMark);
  two.Entry(0, 1, 129);
  two.Entry(3, 1, kEnd);
  two.Entry(3, 2, kEnd);
  two.Name(1, 0, "Root Entry");
  two.Name(129, 3, "WordDocument");
  r = CVolumeOf(two.bytes).Measure();
  EXPECT_TRUE(r.bOk);
  EXPECT_EQ(Narrow(r.strExtension), "DOC");
  EXPECT_EQ(r.nLength, two.bytes.size());
  EXPECT_EQ(r.nLength, 512u + 128 * 512 + 3 * 512);
}

// Makes FAT sector 0 full (last used entry 127) and lists it again from `count` extra-table
// sectors (41 on), 127 times each.
void RepeatFullFatSector(CCompound& c, uint32_t count) {
  c.Resize(41 + count);
  for (uint32_t j = 41; j < 128; ++j) c.Entry(0, j, kEnd);
  for (uint32_t s = 41; s < 41 + count; ++s) {
    for (uint32_t j = 0; j < 127; ++j) c.Entry(s, j, 0);
    c.Entry(s, 127, s + 1);
  }
  c.Difat(41, count);
}

TEST(DocumentRules, HostileCompoundHeadersFail) {
  struct Case {
    const char* szWhat;
    void (*pMutate)(CCompound&);
  } cases[] = {
      {"sector shift 0", [](CCompound& c) { PutLE16(c.bytes, 0x1E, 0); }},
      {"sector shift 6", [](CCompound& c) { PutLE16(c.bytes, 0x1E, 6); }},
      {"sector shift 17", [](CCompound& c) { PutLE16(c.bytes, 0x1E, 17); }},
      {"sector shift 0xFFFF", [](CCompound& c) { PutLE16(c.bytes, 0x1E, 0xFFFF); }},
      {"FAT sector is an end mark", [](CCompound& c) { c.HeaderFat(0, kEnd); }},
      {"FAT sector beyond the device", [](CCompound& c) { c.HeaderFat(0, 0x7FFFFFFF); }},
      {"directory sector is a table mark", [](CCompound& c) { c.Directory(kFatMark); }},
      {"directory is empty", [](CCompound& c) { c.Directory(kEnd); }},
      {"extra-table count beyond any carvable file", [](CCompound& c) { c.Difat(2, 0xFFFFFFFF); }},
      // Sector 2 is a full extra-table sector naming FAT sector 0 and, last, itself; read
      // twice it would be accepted.
      {"extra-table chain loops",
       [](CCompound& c) {
         for (uint32_t j = 0; j < 127; ++j) c.Entry(2, j, 0);
         c.Entry(2, 127, 2);
         c.Difat(2, 2);
       }},
      // A full FAT sector adds 64 KiB each time it is listed: 65 extra-table sectors of
      // 127 listings each pass the carve limit.
      {"table passes the carve limit", [](CCompound& c) { RepeatFullFatSector(c, 65); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.szWhat);
    CCompound doc = SmallDocument("WordDocument", "");
    c.pMutate(doc);
    auto r = CVolumeOf(doc.bytes).Measure();
    EXPECT_FALSE(r.bOk);
  }
  // Just below the limit the same kind of table is measured: 64 extra-table sectors give
  // 512 + (1 + 64 x 127) x 64 KiB.
  CCompound doc = SmallDocument("WordDocument", "");
  RepeatFullFatSector(doc, 64);
  auto r = CVolumeOf(doc.bytes).Measure();
  EXPECT_TRUE(r.bOk);
  EXPECT_EQ(r.nLength, 512u + (1 + 64 * 127) * uint64_t(65536));
  EXPECT_LT(r.nLength, kMaxCarveLength);
}

// ---------------------------------------------------------------- ZIP

Bytes LocalHeader(const std::string& name, const Bytes& data, uint16_t extra = 0) {
  Bytes b;
  Put(b, 0, "PK\x03\x04");
  PutLE16(b, 4, 20);
  PutLE32(b, 18, uint32_t(data.size()));
  PutLE32(b, 22, uint32_t(data.size()));
  PutLE16(b, 26, uint16_t(name.size()));
  PutLE16(b, 28, extra);
  Put(b, 30, name.data(), name.size());
  b.resize(b.size() + extra, 0xEE);
  Append(b, data);
  return b;
}

// Members, a central directory stand-in and the end record with a comment.
Bytes Archive(const std::vector<std::string>& names, const std::string& comment = "") {
  Bytes b;
  for (const auto& n : names) Append(b, LocalHeader(n, Filler(700 + n.size())));
  Bytes central;
  Put(central, 0, "PK\x01\x02");
  central.resize(46 * names.size(), 0x11);
  Append(b, central);
  Bytes end;
  Put(end, 0, "PK\x05\x06");
  PutLE16(end, 20, uint16_t(comment.size()));
  Append(b, end);
  Append(b, comment.c_str());
  return b;
}

TEST(DocumentRules, ZipWalksOfficeMembersAndEndsAtTheEndRecord) {
  using D = CLogicalDriver;
  const std::string longName(300, 'n');
  const Bytes docx = Archive({"[Content_Types].xml", longName, "_rels/.rels", "word/document.xml"});
  const Bytes xlsx = Archive({"[Content_Types].xml", "xl/workbook.xml"});
  const Bytes pptx = Archive({"[Content_Types].xml", "docProps/app.xml", "ppt/presentation.xml"});
  const Bytes plain = Archive({"a.txt", "b.txt"}, "0123456789");
  struct Case {
    const char* szWhat;
    const Bytes* pFile;
    std::vector<ScanFlag> flags;
    bool bOk;
    const char* szExtension;
    uint64_t nLength;
  } cases[] = {
      {"docx", &docx, {&D::m_bScanDOCX}, true, "DOCX", docx.size()},
      {"docx as zip", &docx, {&D::m_bScanZIP}, true, "ZIP", docx.size()},
      {"xlsx", &xlsx, {&D::m_bScanXLSX, &D::m_bScanDOCX}, true, "XLSX", xlsx.size()},
      {"pptx", &pptx, {&D::m_bScanPPTX}, true, "PPTX", pptx.size()},
      // No member in an enabled folder: the walk reaches the central directory, which
      // names none either; a ZIP, as ZIP files were chosen.
      {"docx with only xlsx", &docx, {&D::m_bScanXLSX, &D::m_bScanZIP}, true, "ZIP", docx.size()},
      {"docx with only xlsx, no zip", &docx, {&D::m_bScanXLSX}, false, "ZIP", 0},
      // The archive comment is part of the measured length.
      {"comment", &plain, {&D::m_bScanZIP, &D::m_bScanDOCX}, true, "ZIP", plain.size()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.szWhat);
    CVolumeOf vol(*c.pFile);
    vol.Only({});
    for (ScanFlag f : c.flags) vol.mem.Volume().*f = 1;
    auto r = vol.Measure();
    EXPECT_EQ(r.bOk, c.bOk);
    EXPECT_EQ(Narrow(r.strExtension), c.szExtension);
    if (c.bOk) {
      EXPECT_EQ(r.nLength, c.nLength);
    }
  }
}

TEST(DocumentRules, ZipWalkFailsOnBrokenMembers) {
  // A member claiming 4 GiB of data runs off the device; an archive without an end record
  // is not carved.
  Bytes huge = Archive({"[Content_Types].xml", "docProps/core.xml", "word/document.xml"});
  size_t second = LocalHeader("[Content_Types].xml", Filler(700 + 19)).size();
  PutLE32(huge, second + 18, 0xFFFFFFFF);
  CVolumeOf a(huge);
  EXPECT_FALSE(a.Measure().bOk);

  Bytes noEnd = Archive({"a.txt"});
  noEnd.resize(noEnd.size() - 22);
  CVolumeOf b(noEnd);
  EXPECT_FALSE(b.Measure().bOk);
}

// ---------------------------------------------------------------- PDF

TEST(DocumentRules, PdfEndsAfterTheFirstNonZeroTrailer) {
  const std::string body = "%PDF-1.4\n1 0 obj << >> endobj\nxref\n0 1\ntrailer << >>\n";
  struct Case {
    const char* szWhat;
    std::string strFile;  // the measured part
    std::string strAfter;  // bytes that follow it on the device
    bool bOk;
  } cases[] = {
      {"CR LF", body + "startxref\r\n1234\r\n%%EOF\r\n", "garbage", true},
      {"LF", body + "startxref\n1234\n%%EOF\n", "garbage", true},
      {"CR", body + "startxref\r1234\r%%EOF\r", "garbage", true},
      {"LF at the end of the data", body + "startxref\n1234\n%%EOF\n", "", true},
      {"blank before the offset", body + "startxref\n  99 \n%%EOF\r\n", "x", true},
      // A linearised file: its first trailer holds 0.
      {"linearised", body + "startxref\n0\n%%EOF\n" + body + "startxref\n5678\n%%EOF\n", "more", true},
      // Incremental updates belong to the file, after blanks and comment lines; the next
      // file's header does not.
      {"updated", body + "startxref\n1234\n%%EOF\n2 0 obj << >> endobj\nstartxref\n2345\n%%EOF\n", "garbage", true},
      {"updated twice, with a comment",
       body + "startxref\n1234\n%%EOF\n%BeginUpdate\nxref\n0 1\nstartxref\n2345\n%%EOF\r\n\n3 0 obj\nstartxref\n9\n%%EOF\n",
       "1 0 obj", true},
      {"another file follows", body + "startxref\n1234\n%%EOF\n", body + "startxref\n2345\n%%EOF\n", true},
      {"an update without its trailer", body + "startxref\n1234\n%%EOF\n", "2 0 obj << >> endobj\n", true},
      {"trailing blank", body + "startxref\n1234\n%%EOF \n", "", false},
      {"no end line", body + "startxref\n1234\ntrailer\n%%EOF\n", "", false},
      {"no startxref", body + "%%EOF\n", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.szWhat);
    Bytes file(c.strFile.begin(), c.strFile.end());
    Append(file, c.strAfter.c_str());
    auto r = CVolumeOf(file).Measure();
    EXPECT_EQ(r.bOk, c.bOk);
    if (c.bOk) {
      EXPECT_EQ(r.nLength, c.strFile.size());
    }
  }

  // Five trailers holding 0 end the search, even when a sixth would hold an offset.
  std::string five;
  for (int i = 0; i < 5; ++i) five += body + "startxref\n0\n%%EOF\n";
  std::string six = five + body + "startxref\n1\n%%EOF\n";
  EXPECT_FALSE(CVolumeOf(Bytes(six.begin(), six.end())).Measure().bOk);
  std::string four = body + "startxref\n0\n%%EOF\n" + body + "startxref\n0\n%%EOF\n" + body +
                     "startxref\n0\n%%EOF\n" + body + "startxref\n0\n%%EOF\n" + body + "startxref\n7\n%%EOF\n";
  auto r = CVolumeOf(Bytes(four.begin(), four.end())).Measure();
  EXPECT_TRUE(r.bOk);
  EXPECT_EQ(r.nLength, four.size());
}

// ---------------------------------------------------------------- MIDI

Bytes Midi(uint16_t declared, const std::vector<uint32_t>& tracks) {
  Bytes b;
  Put(b, 0, "MThd\x00\x00\x00\x06\x00\x01", 10);
  b.push_back(uint8_t(declared >> 8));
  b.push_back(uint8_t(declared));
  b.push_back(0x01);
  b.push_back(0xE0);
  for (uint32_t n : tracks) {
    size_t at = b.size();
    Put(b, at, "MTrk");
    PutBE32(b, at + 4, n);
    Append(b, Filler(n));
  }
  return b;
}

TEST(DocumentRules, MidiCountsTheDeclaredTracks) {
  struct Case {
    const char* szWhat;
    Bytes file;
    bool bOk;
    uint64_t nLength;
  } cases[] = {
      {"two tracks", Midi(2, {100, 200}), true, 14 + 108 + 208},
      {"extra chunks after the declared ones", Midi(1, {100, 200}), true, 14 + 108},
      {"no track", Midi(0, {100}), false, 0},
      {"fewer tracks than declared", Midi(3, {100, 200}), false, 0},
      {"all tracks a hostile count declares", Midi(0xFFFF, {100}), false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.szWhat);
    auto r = CVolumeOf(c.file).Measure();
    EXPECT_EQ(r.bOk, c.bOk);
    if (c.bOk) {
      EXPECT_EQ(r.nLength, c.nLength);
    }
  }
  // A chunk length near 4 GiB passes the carve limit: no 4 GiB sum, and no wrapped one.
  Bytes big = Midi(2, {100, 20});
  PutBE32(big, 14 + 108 + 4, 0xFFFFFFF0);
  EXPECT_FALSE(CVolumeOf(big).Measure().bOk);
}

// ---------------------------------------------------------------- ISO boxes

Bytes Box(const char* type, uint32_t size) {
  Bytes b;
  PutBE32(b, 0, size);
  Put(b, 4, type);
  b.resize(size < 8 ? 8 : size, 0x22);
  return b;
}

TEST(DocumentRules, BoxWalkSumsTopLevelBoxes) {
  Bytes ftyp = Box("ftyp", 24);
  Put(ftyp, 8, "isom");
  Bytes ftypQt = Box("ftyp", 20);
  Put(ftypQt, 8, "qt  ");

  Bytes mp4 = ftyp;
  Append(mp4, Box("moov", 1000));
  Append(mp4, Box("mdat", 50000));
  Append(mp4, Box("zzzz", 64));

  Bytes mov = ftypQt;
  Append(mov, Box("wide", 8));
  Append(mov, Box("mdat", 3000));
  Append(mov, Box("free", 100));
  Append(mov, Box("skip", 12));
  Append(mov, Box("moov", 700));
  Append(mov, Box("uuid", 40));

  // A 64-bit size: size field 1, the type, then the size.
  Bytes large = ftyp;
  Bytes mdat64 = Box("mdat", 1016);
  PutBE32(mdat64, 0, 1);
  PutBE64(mdat64, 8, 1016);
  Append(large, mdat64);
  Append(large, Box("junk", 8));

  // Size 0: the box runs to the end of the file; the file is taken to end where it begins.
  Bytes open = ftyp;
  Append(open, Box("moov", 200));
  Bytes mdat0 = Box("mdat", 4000);
  PutBE32(mdat0, 0, 0);
  Append(open, mdat0);

  auto with = [&](Bytes b, size_t at, auto&& mutate) {
    mutate(b, at);
    return b;
  };
  struct Case {
    const char* szWhat;
    Bytes file;
    bool bOk;
    const char* szExtension;
    uint64_t nLength;
  } cases[] = {
      {"mp4", mp4, true, "MP4", 51024},
      {"mov", mov, true, "MOV", 20 + 8 + 3000 + 100 + 12 + 700},
      {"64-bit size", large, true, "MP4", 24 + 1016},
      {"size 0", open, true, "MP4", 24 + 200},
      {"size 4", with(mp4, 24, [](Bytes& b, size_t at) { PutBE32(b, at, 4); }), false, "MP4", 0},
      {"64-bit size below 16",
       with(large, 24, [](Bytes& b, size_t at) { PutBE64(b, at + 8, 12); }), false, "MP4", 0},
      {"64-bit size that would wrap the sum",
       with(large, 24, [](Bytes& b, size_t at) { PutBE64(b, at + 8, ~uint64_t(0) - 10); }), false, "MP4", 0},
      {"box past the device end", with(mp4, 24, [](Bytes& b, size_t at) { PutBE32(b, at, 0x10000000); }), false,
       "MP4", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.szWhat);
    auto r = CVolumeOf(c.file).Measure();
    EXPECT_EQ(r.bOk, c.bOk);
    EXPECT_EQ(Narrow(r.strExtension), c.szExtension);
    if (c.bOk) {
      EXPECT_EQ(r.nLength, c.nLength);
    }
  }
}

// ---------------------------------------------------------------- MP3

// A frame with header FF FB xx yy and zero data, `length` bytes in all.
Bytes Frame(uint8_t b2, uint8_t b3, size_t length) {
  Bytes f(length, 0);
  f[0] = 0xFF;
  f[1] = 0xFB;
  f[2] = b2;
  f[3] = b3;
  return f;
}

TEST(DocumentRules, Mp3WalksFramesAndATrailingTag) {
  // 128 kbit/s at 44.1 kHz: 417 bytes, 418 with padding; 320 kbit/s at 48 kHz: 960.
  const Bytes f417 = Frame(0x90, 0x00, 417), f418 = Frame(0x92, 0x00, 418), f960 = Frame(0xE4, 0x00, 960);
  Bytes tag(128, 0);
  Put(tag, 0, "TAG");
  auto join = [](std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const auto& p : parts) Append(b, p);
    return b;
  };
  const Bytes garbage = Filler(600, 0x00);
  struct Case {
    const char* szWhat;
    Bytes file;
    bool bOk;
    uint64_t nLength;
  } cases[] = {
      {"two frames and a tag", join({f417, f418, tag}), true, 963},
      {"two frames", join({f417, f418, garbage}), true, 835},
      {"three frames, two rates", join({f417, f960, f418, garbage}), true, 417 + 960 + 418},
      {"one frame", join({f417, garbage}), false, 0},
      {"one frame and a tag", join({f417, tag}), false, 0},
      // Bitrate index 0 ("free") gives a frame shorter than its header.
      {"free bitrate", join({f417, Frame(0x00, 0x00, 417), garbage}), false, 0},
      {"sample rate index 3", join({f417, Frame(0x9C, 0x00, 417), garbage}), false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.szWhat);
    auto r = CVolumeOf(c.file).Measure();
    EXPECT_EQ(r.bOk, c.bOk);
    if (c.bOk) {
      EXPECT_EQ(r.nLength, c.nLength);
    }
  }

  // Called directly, an ID3v2 tag (size 0x100 in 7-bit bytes, plus its 10-byte header) is
  // skipped and counted; the classifier only hands over units beginning FF FB.
  Bytes tagged(10, 0);
  Put(tagged, 0, "ID3\x03\x00\x00\x00\x00\x02\x00", 10);
  tagged.resize(10 + 256, 0);
  Append(tagged, join({f417, f418, garbage}));
  CVolumeOf vol(tagged);
  uint8_t header[kRuleHeaderBytes];
  std::memcpy(header, tagged.data(), sizeof header);
  std::u16string ext = u"MP3";
  uint64_t len = 0;
  EXPECT_TRUE(rules::MeasureMp3(vol.mem.Volume(), kStart, header, ext, len));
  EXPECT_EQ(len, 266u + 835);
}

// ---------------------------------------------------------------- the simple rules

TEST(DocumentRules, HeaderAndEndMarkerRules) {
  auto riff = [](const char* form, uint32_t size) {
    Bytes b;
    Put(b, 0, "RIFF");
    PutLE32(b, 4, size);
    Put(b, 8, form);
    b.resize(600, 0x33);
    return b;
  };
  auto dbf = [](uint32_t records, uint16_t header, uint16_t record) {
    Bytes b(600, 0x20);
    b[0] = 0x03;
    b[2] = 5, b[3] = 17;                     // updated on 17 May
    b[32 + 11] = 'C';                        // a character field (its name is blanks)
    if (header <= b.size()) b[header - 1] = 0x0D;  // the end of the field descriptors
    PutLE32(b, 4, records);
    PutLE16(b, 8, header);
    PutLE16(b, 10, record);
    b[12] = b[13] = b[30] = b[31] = 0;
    return b;
  };
  auto chunk3ds = [](uint32_t size) {
    Bytes b(600, 0x01);
    Put(b, 0, "MM");
    PutLE32(b, 2, size);
    b[6] = 0x02;
    b[7] = 0x00;
    Put(b, 16, "==");
    return b;
  };
  auto dbx = [](const char* magic, size_t n, uint32_t size) {
    Bytes b(600, 0x44);
    Put(b, 0, magic, n);
    PutLE32(b, 0x7C, size);
    return b;
  };
  auto pst = [](uint8_t kind, uint32_t size32, uint32_t size64) {
    Bytes b(600, 0x00);
    Put(b, 0, "!BDN");
    b[10] = kind;
    PutLE32(b, 0xA8, size32);
    PutLE32(b, 0xB8, size64);
    return b;
  };
  auto text = [](std::initializer_list<std::string> parts) {
    Bytes b;
    for (const auto& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
  };
  const std::string rarEnd("\xC4\x3D\x7B\x00\x40\x07\x00", 7);
  const std::string rarStart("Rar!\x1A\x07\x00", 7);
  const std::string dxfHead = "0\r\nSECTION\r\n2\r\nHEADER\r\n";
  struct Case {
    const char* szWhat;
    Bytes file;
    bool bOk;
    const char* szExtension;
    uint64_t nLength;
  } cases[] = {
      {"avi", riff("AVI LIST", 5000), true, "AVI", 5008},
      {"wav", riff("WAVEfmt ", 36), true, "WAV", 44},
      // Header sums are 64-bit: a 32-bit sum would wrap to a small, carvable length.
      {"riff size 0xFFFFFFFF", riff("WAVEfmt ", 0xFFFFFFFF), true, "WAV", 0x100000007},
      {"dbf", dbf(10, 97, 20), true, "DBF", 297},
      {"dbf at its limits", dbf(0xFFFFFFFF, 0xFFFF, 0xFFFF), true, "DBF", 0xFFFFull * 0xFFFFFFFF + 0xFFFF},
      {"3ds", chunk3ds(123456), true, "3DS", 123456},
      {"dbx", dbx("JMF6\x03\x00\x10\x00", 8, 77777), true, "DBX", 77777},
      {"dbx folder", dbx("\xCF\xAD\x12\xFE\xC5\xFD\x74\x6F\x66\xE3\xD1\x11\x9A\x4E\x00\xC0", 16, 42424), true, "DBX",
       42424},
      {"pst 32-bit", pst(0x0E, 271360, 1), true, "PST", 271360},
      {"pst 64-bit", pst(0x17, 1, 8651776), true, "PST", 8651776},
      {"pst unknown kind", pst(0x15, 1, 1), false, "PST", 0},
      {"html", text({"<html><body>", std::string(700, 'x'), "</BODY></Html>tail"}), true, "HTM", 12 + 700 + 14},
      // The end marker straddles units 0 and 1 of the file.
      {"html across units", text({"<HTML>", std::string(504, 'y'), "</html>", "tail"}), true, "HTM", 517},
      {"html without end", text({"<html>", std::string(900, 'z')}), false, "HTM", 0},
      {"dxf", text({dxfHead, std::string(800, ' '), "0\r\nENDSEC\r\n0\r\nEOF\r\n", "zz"}), true, "DXF",
       dxfHead.size() + 800 + 19},
      {"rar", text({rarStart, std::string(1000, 'r'), rarEnd, "after"}), true, "RAR", 7 + 1000 + 7},
      {"rar without end block", text({rarStart, std::string(1000, 'r')}), false, "RAR", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.szWhat);
    auto r = CVolumeOf(c.file).Measure();
    EXPECT_EQ(r.bOk, c.bOk);
    EXPECT_EQ(Narrow(r.strExtension), c.szExtension);
    if (c.bOk) {
      EXPECT_EQ(r.nLength, c.nLength);
    }
  }
}
}  // namespace
