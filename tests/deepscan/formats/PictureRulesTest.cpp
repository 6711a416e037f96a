// Extent rules of the picture formats (GIF, JPEG, PCX, PSD, TIFF and camera RAW), run
// through the classifier on hand-built files placed on a memory volume.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/MemoryVolume.h"

namespace {

// A byte buffer built by appending fields.
struct CBytes {
  std::vector<uint8_t> v;

  CBytes& Add(std::initializer_list<int> b) {
    for (int x : b) v.push_back(uint8_t(x));
    return *this;
  }
  CBytes& Text(std::string_view s) {
    v.insert(v.end(), s.begin(), s.end());
    return *this;
  }
  CBytes& Fill(size_t n, uint8_t b) {
    v.insert(v.end(), n, b);
    return *this;
  }
  CBytes& BE16(uint16_t x) { return Add({x >> 8, x & 0xFF}); }
  CBytes& BE32(uint32_t x) { return Add({int(x >> 24), int((x >> 16) & 0xFF), int((x >> 8) & 0xFF), int(x & 0xFF)}); }
  CBytes& LE16(uint16_t x) { return Add({x & 0xFF, x >> 8}); }
  CBytes& Then(const CBytes& o) {
    v.insert(v.end(), o.v.begin(), o.v.end());
    return *this;
  }
  size_t Size() const { return v.size(); }
};

using FlagSetter = std::function<void(CLogicalDriver&)>;

// Places file at unit 2 of a volume with spare zero units after it and measures it
// there; flags, when given, changes the volume's type flags first.
CMemoryVolume::Result MeasureAtUnit2(const std::vector<uint8_t>& file, const FlagSetter& flags = {},
                                     size_t spareUnits = 3) {
  CMemoryVolume volume(PlaceAt(file, 2, 2 + (file.size() + 511) / 512 + spareUnits));
  if (flags) flags(volume.Volume());
  return volume.Measure(2);
}

FlagSetter Only(uint32_t CLogicalDriver::*flag) {
  return [flag](CLogicalDriver& v) {
    SetAllScanFlags(v, false);
    v.*flag = 1;
  };
}

struct Case {
  const char* szName;
  CBytes file;
  bool bOk;
  uint64_t nLength;  // expected when bOk
};

void ExpectCases(const std::vector<Case>& cases, const char16_t* extension) {
  for (const auto& c : cases) {
    auto r = MeasureAtUnit2(c.file.v);
    EXPECT_EQ(r.bOk, c.bOk) << c.szName;
    if (c.bOk && r.bOk) {
      EXPECT_EQ(r.nLength, c.nLength) << c.szName;
      EXPECT_EQ(r.strExtension, extension) << c.szName;
    }
  }
}

// ---- GIF ----

CBytes GifHeader(uint8_t packed = 0x00) { return CBytes().Text("GIF89a").Add({1, 0, 1, 0, packed, 0, 0}); }
CBytes GraphicControl() { return CBytes().Add({0x21, 0xF9, 4, 0, 0, 0, 0, 0}); }
// An image without local colour table, its data one sub-block of 10 bytes.
CBytes Image(uint8_t packed = 0x00, size_t localTable = 0) {
  CBytes b;
  b.Add({0x2C, 0, 0, 0, 0, 1, 0, 1, 0, packed}).Fill(localTable, 0x77).Add({2, 10}).Fill(10, 0x42).Add({0});
  return b;
}

TEST(PictureRules, GifWalksBlocksToTheTrailer) {
  std::vector<Case> cases = {
      // 13 + 8 + (9 + 3 + 11) + 1
      {"control, image, trailer", GifHeader().Then(GraphicControl()).Then(Image()).Add({0x3B}), true, 45},
      {"comment of one 5-byte sub-block adds 9",
       GifHeader().Then(GraphicControl()).Add({0x21, 0xFE, 5}).Text("hello").Add({0}).Then(Image()).Add({0x3B}),
       true, 54},
      {"application extension of two sub-blocks",
       GifHeader().Add({0x21, 0xFF, 11}).Text("NETSCAPE2.0").Add({3, 1, 0, 0, 0}).Then(Image()).Add({0x3B}), true,
       13 + 19 + 23 + 1},
      {"global table of 4 and local table of 8 colours",
       GifHeader(0x81).Fill(12, 0x33).Then(Image(0x82, 24)).Add({0x3B}), true, 13 + 12 + 23 + 24 + 1},
      {"bytes between blocks are passed over and not counted",
       GifHeader().Fill(7, 0x00).Then(Image()).Fill(3, 0x99).Add({0x3B}), true, 13 + 23 + 1},
      {"GIF87a", CBytes().Text("GIF87a").Add({1, 0, 1, 0, 0, 0, 0}).Then(Image()).Add({0x3B}), true, 37},
      {"graphic control not closed by a zero byte",
       GifHeader().Add({0x21, 0xF9, 4, 0, 0, 0, 0, 7}).Then(Image()).Add({0x3B}), false, 0},
      {"no trailer before the end of the device", GifHeader().Then(Image()), false, 0},
      {"sub-blocks running off the device", GifHeader().Add({0x21, 0xFE}).Fill(3000, 0xFF), false, 0},
  };
  ExpectCases(cases, u"GIF");
}

// ---- JPEG ----

CBytes Segment(uint8_t marker, size_t payload, uint8_t fill = 0x11) {
  return CBytes().Add({0xFF, marker}).BE16(uint16_t(payload + 2)).Fill(payload, fill);
}
// Start of scan, entropy data across a unit boundary, end of image.
CBytes Scan() { return Segment(0xDA, 10).Fill(700, 0x55).Add({0xFF, 0x00}).Fill(20, 0x66).Add({0xFF, 0xD9}); }
// Two Huffman tables of 12 and 370 code values: 416 bytes of tables.
CBytes HuffmanTables() {
  CBytes b;
  b.Add({0x00, 12}).Fill(15, 0).Fill(12, 0x21);
  b.Add({0x10, 255, 115}).Fill(14, 0).Fill(370, 0x22);
  return b;
}

TEST(PictureRules, JpegWalksSegmentsToTheScanAndItsEnd) {
  const CBytes soi = CBytes().Add({0xFF, 0xD8});
  CBytes plain = soi;
  plain.Then(Segment(0xE0, 14)).Then(Segment(0xDB, 65)).Then(Segment(0xC0, 15)).Then(Segment(0xDD, 2));
  plain.Then(Segment(0xC4, 29)).Then(Scan());  // a short DHT is skipped by its length
  CBytes walked = soi;
  walked.Add({0xFF, 0xC4}).BE16(418).Then(HuffmanTables()).Then(Scan());
  // The table walk goes by the tables, whatever the length field says.
  CBytes understated = soi;
  understated.Add({0xFF, 0xC4}).BE16(0xD0).Then(HuffmanTables()).Then(Scan());
  // An Exif thumbnail (FF D8 .. FF D9) inside APP1 is passed over with its segment.
  CBytes thumbnail = soi;
  thumbnail.Add({0xFF, 0xE1}).BE16(2 + 6 + 8).Text(std::string_view("Exif\0\0", 6)).Add({0xFF, 0xD8, 0xFF, 0xDB});
  thumbnail.Add({0, 2, 0xFF, 0xD9}).Then(Scan());

  std::vector<Case> cases = {
      {"segments, short DHT, scan", plain, true, plain.Size()},
      {"DHT of length 418 walked table by table", walked, true, walked.Size()},
      {"DHT length field disagreeing with its tables", understated, true, understated.Size()},
      {"thumbnail inside APP1", thumbnail, true, thumbnail.Size()},
      {"end of image before any scan", CBytes(soi).Add({0xFF, 0xD9}).Fill(600, 0x55), false, 0},
      {"segment length 0", CBytes(soi).Add({0xFF, 0xE0, 0x00, 0x00}).Then(Scan()), false, 0},
      {"segment length 1", CBytes(soi).Add({0xFF, 0xE0, 0x00, 0x01}).Then(Scan()), false, 0},
      {"segment running off the device", CBytes(soi).Add({0xFF, 0xE1, 0xFF, 0xFF}).Fill(100, 0), false, 0},
      {"scan without end of image", CBytes(soi).Then(Segment(0xDA, 10)).Fill(1500, 0x55), false, 0},
      // Zero tables of no codes never reach an FF: the walk ends with the device.
      {"Huffman walk that never meets FF", CBytes(soi).Add({0xFF, 0xC4, 0x01, 0xA2}).Fill(2000, 0), false, 0},
  };
  ExpectCases(cases, u"JPG");
}

// ---- PCX ----

// 128-byte header: 8 bits, 1 plane, lines 0..lastLine, bytesPerLine per line.
CBytes PcxHeader(uint16_t lastLine, uint16_t bytesPerLine, uint8_t encoding = 1, uint16_t paletteInfo = 1,
                 uint8_t bits = 8) {
  CBytes b;
  b.Add({0x0A, 5, encoding, bits, 0, 0, 0, 0, 3, 0}).LE16(lastLine).Fill(52, 0);  // ..63
  b.Add({0, 1}).LE16(bytesPerLine).LE16(paletteInfo).Fill(58, 0);
  return b;
}

TEST(PictureRules, PcxDecodesTheImageDataAndItsPalette) {
  std::vector<Case> cases = {
      {"2 lines of 4 bytes as two runs of 4", PcxHeader(1, 4).Add({0xC4, 0, 0xC4, 0}), true, 132},
      {"literal bytes", PcxHeader(1, 4).Add({1, 2, 3, 4, 5, 6, 7, 8}), true, 136},
      {"a run across both lines", PcxHeader(1, 4).Add({0xC8, 9}), true, 130},
      {"an 8-bit image's palette after it", PcxHeader(1, 4).Add({0xC4, 0, 0xC4, 0, 0x0C}).Fill(768, 0xAB), true,
       132 + 769},
      {"no palette mark after it", PcxHeader(1, 4).Add({0xC4, 0, 0xC4, 0, 0x0D}).Fill(768, 0xAB), true, 132},
      {"a 4-bit image has no palette there", PcxHeader(1, 4, 1, 1, 4).Add({0xC4, 0, 0xC4, 0, 0x0C}).Fill(768, 0xAB),
       true, 132},
      {"run longer than the pixels left", PcxHeader(1, 4).Add({0xC4, 0, 0xC5, 0}), false, 0},
      {"data running off the device", PcxHeader(999, 4).Fill(100, 1), false, 0},
      {"not run-length encoded", PcxHeader(1, 4, 0).Add({0xC4, 0, 0xC4, 0}), false, 0},
      {"palette info 0", PcxHeader(1, 4, 1, 0).Add({0xC4, 0, 0xC4, 0}), false, 0},
      {"3 bits per pixel", PcxHeader(1, 4, 1, 1, 3).Add({0xC4, 0, 0xC4, 0}), false, 0},
  };
  ExpectCases(cases, u"PCX");
}

// ---- TGA ----

// A 4 x 2 picture of 24-bit pixels, raw (type 2) or run-length (type 10).
CBytes TgaHeader(uint8_t type, uint8_t bits = 24) {
  return CBytes().Add({0, 0, type, 0, 0, 0, 0, 0, 0, 0, 0, 0}).LE16(4).LE16(2).Add({bits, 0});
}
CBytes TgaFooter() { return CBytes().Fill(8, 0).Text("TRUEVISION-XFILE.").Add({0}); }

TEST(PictureRules, TgaMeasuresImageDataAndFooter) {
  std::vector<Case> cases = {
      {"raw, no footer", TgaHeader(2).Fill(24, 0x40).Fill(40, 0x99), true, 18 + 24},
      {"raw, footer", TgaHeader(2).Fill(24, 0x40).Then(TgaFooter()).Fill(40, 0x99), true, 18 + 24 + 26},
      {"raw, extension area and footer", TgaHeader(2).Fill(24, 0x40).Fill(495, 0).Then(TgaFooter()), true,
       18 + 24 + 495 + 26},
      // A run of 5 pixels and 3 raw pixels: 1 + 3 + 1 + 9 bytes.
      {"run-length", TgaHeader(10).Add({0x84, 1, 2, 3, 0x02}).Fill(9, 7).Then(TgaFooter()), true, 18 + 14 + 26},
      {"a run past the pixels", TgaHeader(10).Add({0x88, 1, 2, 3}).Fill(40, 0), false, 0},
      {"12 bits per pixel", TgaHeader(2, 12).Fill(24, 0x40), false, 0},
  };
  ExpectCases(cases, u"TGA");
}

// ---- PSD ----

CBytes PsdHeader(uint16_t channels, uint32_t height, uint32_t width, uint16_t depth = 8, uint16_t mode = 3) {
  CBytes b;
  b.Text("8BPS").BE16(1).Fill(6, 0).BE16(channels).BE32(height).BE32(width).BE16(depth).BE16(mode);
  return b;
}
CBytes EmptySections() { return CBytes().Fill(12, 0); }

TEST(PictureRules, PsdMeasuresSectionsAndImageData) {
  // 1 channel of 4 x 2: row counts, then a literal packet of 4 and a run of 4.
  CBytes rle = PsdHeader(1, 2, 4).Then(EmptySections()).BE16(1).BE16(5).BE16(2);
  rle.Add({3, 1, 2, 3, 4, 0xFD, 9});
  CBytes rleNoOp = PsdHeader(1, 2, 4).Then(EmptySections()).BE16(1).BE16(5).BE16(3);
  rleNoOp.Add({3, 1, 2, 3, 4, 0x80, 0xFD, 9});
  // 16 bits: each row of 4 pixels is 8 bytes, here one literal packet of 8.
  CBytes rle16 = PsdHeader(1, 2, 4, 16).Then(EmptySections()).BE16(1).BE16(9).BE16(9);
  rle16.Add({7}).Fill(8, 0x31).Add({7}).Fill(8, 0x32);
  CBytes sections = PsdHeader(3, 10, 10).BE32(0).BE32(10).Fill(10, 0x38).BE32(3).Fill(3, 0).BE16(0);
  sections.Fill(300, 0xEE);

  std::vector<Case> cases = {
      {"3 channels of 10 x 10 raw", PsdHeader(3, 10, 10).Then(EmptySections()).BE16(0).Fill(300, 0xEE), true, 340},
      {"16-bit raw", PsdHeader(3, 10, 10, 16).Then(EmptySections()).BE16(0).Fill(600, 0xEE), true, 640},
      // Bitmap rows of 10 pixels take 2 bytes each.
      {"1-bit raw", PsdHeader(1, 10, 10, 1, 0).Then(EmptySections()).BE16(0).Fill(20, 0xAA), true, 40 + 20},
      {"16-bit PackBits rows", rle16, true, rle16.Size()},
      {"sections with content", sections, true, sections.Size()},
      {"PackBits rows", rle, true, rle.Size()},
      {"PackBits with a no-op packet", rleNoOp, true, rleNoOp.Size()},
      {"compression 2", PsdHeader(3, 10, 10).Then(EmptySections()).BE16(2).Fill(300, 0), false, 0},
      {"25 channels", PsdHeader(25, 10, 10).Then(EmptySections()).BE16(0), false, 0},
      {"width 30,001", PsdHeader(3, 10, 30001).Then(EmptySections()).BE16(0), false, 0},
      {"depth 4", PsdHeader(3, 10, 10, 4).Then(EmptySections()).BE16(0), false, 0},
      {"colour mode 5", PsdHeader(3, 10, 10, 8, 5).Then(EmptySections()).BE16(0), false, 0},
      {"section length beyond the device", PsdHeader(3, 10, 10).BE32(0xFFFFFFFF), false, 0},
  };
  ExpectCases(cases, u"PSD");

  // Packets that produce nothing never finish the channel: the walk ends with the device,
  // which they fill to its last byte.
  CBytes noOps = PsdHeader(1, 2, 4).Then(EmptySections()).BE16(1).BE32(0);
  noOps.Fill(2048 - noOps.Size(), 0x80);
  EXPECT_FALSE(MeasureAtUnit2(noOps.v, {}, 0).bOk);
}

// ---- TIFF ----

// A TIFF image under construction: fields are written at absolute offsets in the file's
// byte order.
class CTiff {
 public:
  struct Entry {
    uint16_t nTag, nType;
    uint32_t nCount, nValue;
  };

  CTiff(bool bigEndian, uint32_t firstIfd, std::string_view magic = {}) : m_bBig(bigEndian) {
    if (magic.empty()) magic = bigEndian ? std::string_view("MM\0*", 4) : std::string_view("II*\0", 4);
    Text(0, magic);
    Put32(4, firstIfd);
  }
  CTiff& Put16(size_t at, uint16_t x) {
    Grow(at + 2);
    m_v[at + (m_bBig ? 0 : 1)] = uint8_t(x >> 8);
    m_v[at + (m_bBig ? 1 : 0)] = uint8_t(x);
    return *this;
  }
  CTiff& Put32(size_t at, uint32_t x) {
    const uint16_t high = uint16_t(x >> 16), low = uint16_t(x);
    return m_bBig ? Put16(at, high).Put16(at + 2, low) : Put16(at, low).Put16(at + 2, high);
  }
  CTiff& Text(size_t at, std::string_view s) {
    Grow(at + s.size());
    std::copy(s.begin(), s.end(), m_v.begin() + long(at));
    return *this;
  }
  // An IFD; two bytes of data go in the first half of the value field.
  CTiff& Ifd(size_t at, const std::vector<Entry>& entries, uint32_t next) {
    Put16(at, uint16_t(entries.size()));
    size_t p = at + 2;
    for (const auto& e : entries) {
      Put16(p, e.nTag).Put16(p + 2, e.nType).Put32(p + 4, e.nCount);
      if ((e.nType == 3 || e.nType == 8) && e.nCount == 1)
        Put16(p + 8, uint16_t(e.nValue)).Put16(p + 10, 0);
      else
        Put32(p + 8, e.nValue);
      p += 12;
    }
    Put32(p, next);
    return *this;
  }
  // Pads the file to size bytes.
  CTiff& Size(size_t size) {
    Grow(size);
    return *this;
  }
  const std::vector<uint8_t>& Bytes() const { return m_v; }

 private:
  void Grow(size_t n) {
    if (m_v.size() < n) m_v.resize(n, 0);
  }
  std::vector<uint8_t> m_v;
  bool m_bBig;
};

constexpr uint16_t SHORT = 3, LONG = 4, ASCII = 2, BYTE = 1;

// One IFD at 8 with a Make text at 100 (when given) and two strips whose arrays sit at
// 200 and 208: 100 bytes at 300 and 250 bytes at 400, so the file is 650 bytes.
CTiff TwoStrips(bool big, std::string_view make, std::string_view magic = {}) {
  CTiff t(big, 8, magic);
  std::vector<CTiff::Entry> entries = {{256, SHORT, 1, 0x4001}, {257, SHORT, 1, 2}};
  if (!make.empty()) {
    entries.push_back({271, ASCII, uint32_t(make.size() + 1), 100});
    t.Text(100, make);
  }
  entries.push_back({273, LONG, 2, 200});
  entries.push_back({279, LONG, 2, 208});
  t.Ifd(8, entries, 0);
  t.Put32(200, 300).Put32(204, 400).Put32(208, 100).Put32(212, 250);
  return t.Size(650);
}

TEST(PictureRules, TiffNamesTheMakerAndMeasuresStrips) {
  struct MakerCase {
    const char* szName;
    CTiff tiff;
    FlagSetter flags;
    bool bOk;
    const char16_t* szExtension;
  } cases[] = {
      {"little-endian, no Make, TIFF asked for", TwoStrips(false, ""), Only(&CLogicalDriver::m_bScanTIF), true,
       u"TIF"},
      // A width of 0x4001 only passes the value limit when read as the 16-bit number it is.
      {"big-endian, no Make", TwoStrips(true, ""), Only(&CLogicalDriver::m_bScanTIF), true, u"TIF"},
      {"no Make, only CR2 asked for", TwoStrips(false, ""), Only(&CLogicalDriver::m_bScanCR2), false, nullptr},
      {"unknown maker, only NEF asked for", TwoStrips(false, "FUJIFILM"), Only(&CLogicalDriver::m_bScanNEF), false,
       nullptr},
      {"Canon, only NEF asked for", TwoStrips(false, "Canon"), Only(&CLogicalDriver::m_bScanNEF), true, u"CR2"},
      {"NIKON CORPORATION", TwoStrips(true, "NIKON CORPORATION"), Only(&CLogicalDriver::m_bScanTIF), true, u"NEF"},
      {"maker in mixed case", TwoStrips(false, "Pentax Corporation"), Only(&CLogicalDriver::m_bScanPEF), true,
       u"PEF"},
      {"Olympus IIRO header", TwoStrips(false, "OLYMPUS IMAGING CORP.", "IIRO"), Only(&CLogicalDriver::m_bScanORF),
       true, u"ORF"},
      {"Olympus IIRS header", TwoStrips(false, "OLYMPUS OPTICAL CO.,LTD", "IIRS"), Only(&CLogicalDriver::m_bScanORF),
       true, u"ORF"},
      {"SONY", TwoStrips(false, "SONY"), Only(&CLogicalDriver::m_bScanTIF), true, u"ARW"},
  };
  for (const auto& c : cases) {
    auto r = MeasureAtUnit2(c.tiff.Bytes(), c.flags);
    EXPECT_EQ(r.bOk, c.bOk) << c.szName;
    if (c.bOk && r.bOk) {
      EXPECT_EQ(r.nLength, 650u) << c.szName;
      EXPECT_EQ(r.strExtension, c.szExtension) << c.szName;
    }
  }
}

TEST(PictureRules, TiffLengthIsTheFurthestByteReached) {
  // Inline strip fields in a big-endian file: a SHORT offset and a LONG count.
  CTiff inlineStrip(true, 8);
  inlineStrip.Ifd(8, {{273, SHORT, 1, 300}, {279, LONG, 1, 50}}, 0).Size(350);
  // The furthest byte is an out-of-line value (a 64-byte text at 900), beyond the strip.
  CTiff value(false, 8);
  value.Ifd(8, {{270, ASCII, 64, 900}, {273, LONG, 1, 300}, {279, LONG, 1, 50}}, 0).Size(964);
  // The furthest byte is the IFD itself, written after the strip.
  CTiff directory(false, 400);
  directory.Ifd(400, {{273, LONG, 1, 8}, {279, LONG, 1, 100}}, 0);
  // A second IFD holding a JPEG thumbnail further out.
  CTiff thumbnail(false, 8);
  thumbnail.Ifd(8, {{273, LONG, 1, 100}, {279, LONG, 1, 50}}, 200).Ifd(200, {{513, LONG, 1, 600}, {514, LONG, 1, 400}}, 0);
  thumbnail.Size(1000);
  // Tags of types above 12 count for nothing.
  CTiff unknownType(false, 8);
  unknownType.Ifd(8, {{273, LONG, 1, 100}, {279, LONG, 1, 50}, {700, 13, 100, 5000}}, 0).Size(150);

  struct {
    const char* szName;
    const CTiff& tiff;
    uint64_t nLength;
  } cases[] = {
      {"inline big-endian strip fields", inlineStrip, 350},
      {"out-of-line value", value, 964},
      {"directory after the data", directory, 400 + 2 + 24 + 4},
      {"thumbnail in IFD1", thumbnail, 1000},
      {"type above 12", unknownType, 150},
  };
  for (const auto& c : cases) {
    auto r = MeasureAtUnit2(c.tiff.Bytes(), Only(&CLogicalDriver::m_bScanTIF));
    EXPECT_TRUE(r.bOk) << c.szName;
    EXPECT_EQ(r.nLength, c.nLength) << c.szName;
  }
}

// IFD0 at 8 names the maker and a redirection; the redirected IFD at 200 has a strip
// ending at 1000; IFD1 at 300 (the plain next IFD) one ending at 3000.
CTiff Redirected(bool big, std::string_view make, CTiff::Entry redirect) {
  CTiff t(big, 8);
  t.Text(100, make);
  t.Ifd(8, {{271, ASCII, uint32_t(make.size() + 1), 100}, redirect}, 300);
  t.Ifd(200, {{273, LONG, 1, 400}, {279, LONG, 1, 600}}, 0);
  t.Ifd(300, {{273, LONG, 1, 1000}, {279, LONG, 1, 2000}}, 0);
  return t.Size(3000);
}

TEST(PictureRules, TiffFollowsNikonSubIfdsAndSonyPrivateData) {
  CTiff twoSubIfds = Redirected(true, "NIKON CORPORATION", {330, LONG, 2, 180});
  twoSubIfds.Put32(180, 300).Put32(184, 200);  // the last one is taken
  struct {
    const char* szName;
    CTiff tiff;
    uint64_t nLength;
    const char16_t* szExtension;
  } cases[] = {
      {"NEF, one SubIFD", Redirected(true, "NIKON CORPORATION", {330, LONG, 1, 200}), 1000, u"NEF"},
      {"NEF, two SubIFDs", twoSubIfds, 1000, u"NEF"},
      {"ARW, DNG private data", Redirected(false, "SONY", {50740, BYTE, 4, 200}), 1000, u"ARW"},
      // Without the maker the redirection tags mean nothing and IFD1 is walked.
      {"SubIFDs in a Canon file", Redirected(false, "Canon", {330, LONG, 1, 200}), 3000, u"CR2"},
      {"private data in a Nikon file", Redirected(true, "NIKON", {50740, BYTE, 4, 200}), 3000, u"NEF"},
  };
  for (const auto& c : cases) {
    auto r = MeasureAtUnit2(c.tiff.Bytes(), Only(&CLogicalDriver::m_bScanNEF));
    EXPECT_TRUE(r.bOk) << c.szName;
    EXPECT_EQ(r.nLength, c.nLength) << c.szName;
    EXPECT_EQ(r.strExtension, c.szExtension) << c.szName;
  }
}

TEST(PictureRules, TiffRejectsLoopsAndHostileFields) {
  const std::vector<CTiff::Entry> strip = {{273, LONG, 1, 100}, {279, LONG, 1, 50}};
  CTiff self(false, 8);
  self.Ifd(8, strip, 8).Size(150);
  CTiff pingPong(false, 8);
  pingPong.Ifd(8, strip, 60).Ifd(60, strip, 8).Size(150);
  CTiff nefLoop(true, 8);
  nefLoop.Text(100, "NIKON").Ifd(8, {{271, ASCII, 6, 100}, {330, LONG, 1, 8}}, 0).Size(150);
  CTiff arwLoop(false, 8);
  arwLoop.Text(100, "SONY").Ifd(8, {{271, ASCII, 5, 100}, {50740, BYTE, 4, 200}}, 0).Ifd(200, strip, 200).Size(250);
  // 1,100 distinct empty IFDs, each pointing to the next.
  CTiff longChain(false, 8);
  for (uint32_t i = 0; i < 1100; ++i) longChain.Ifd(8 + 6 * i, {}, i + 1 < 1100 ? 8 + 6 * (i + 1) : 0);
  CTiff tooManyEntries(false, 8);
  tooManyEntries.Put16(8, 513).Size(8 + 2 + 513 * 12 + 4);
  CTiff hugeCount(false, 8);
  hugeCount.Ifd(8, {{273, LONG, 0x20000001, 100}, {279, LONG, 1, 50}}, 0).Size(150);
  CTiff hugeValue(false, 8);
  hugeValue.Ifd(8, {{273, LONG, 1, 0x20000001}, {279, LONG, 1, 50}}, 0).Size(150);
  CTiff mismatched(false, 8);
  mismatched.Ifd(8, {{273, LONG, 2, 100}, {279, LONG, 1, 50}}, 0).Size(150);
  // Strip arrays of 1 Mi + 1 elements, present on the device (all zero).
  const uint32_t bigArray = (1u << 20) + 1;
  CTiff bigArrays(false, 8);
  bigArrays.Ifd(8, {{273, LONG, bigArray, 64}, {279, LONG, bigArray, 64}}, 0).Size(64 + 4 * size_t(bigArray));
  CTiff ifdOffDevice(false, 0x10000000);
  ifdOffDevice.Size(64);
  CTiff makeOffDevice(false, 8);
  makeOffDevice.Ifd(8, {{271, ASCII, 10, 0x1000000}}, 0).Size(64);

  struct {
    const char* szName;
    const CTiff& tiff;
  } cases[] = {
      {"IFD pointing to itself", self},
      {"two IFDs pointing to each other", pingPong},
      {"Nikon SubIFD back to IFD0", nefLoop},
      {"Sony private IFD pointing to itself", arwLoop},
      {"chain of 1,100 IFDs", longChain},
      {"513 entries", tooManyEntries},
      {"count above 0x20000000", hugeCount},
      {"value above 0x20000000", hugeValue},
      {"offsets and byte counts of different lengths", mismatched},
      {"strip arrays of more than 1 Mi elements", bigArrays},
      {"first IFD beyond the device", ifdOffDevice},
      {"Make text beyond the device", makeOffDevice},
  };
  for (const auto& c : cases) {
    auto r = MeasureAtUnit2(c.tiff.Bytes(), Only(&CLogicalDriver::m_bScanTIF));
    EXPECT_FALSE(r.bOk) << c.szName;
  }
}

}  // namespace

// ---- BMP, PCX and RAF header fields ----

namespace {
// A byte image of size n with fields poked in by offset.
CBytes Poked(size_t n, std::initializer_list<std::pair<size_t, std::vector<uint8_t>>> fields, uint8_t fill = 0) {
  CBytes b;
  b.Fill(n, fill);
  for (const auto& [at, bytes] : fields) std::copy(bytes.begin(), bytes.end(), b.v.begin() + long(at));
  return b;
}
std::vector<uint8_t> Le16(uint16_t x) { return {uint8_t(x), uint8_t(x >> 8)}; }
std::vector<uint8_t> Le32(uint32_t x) { return {uint8_t(x), uint8_t(x >> 8), uint8_t(x >> 16), uint8_t(x >> 24)}; }
std::vector<uint8_t> Be32(uint32_t x) { return {uint8_t(x >> 24), uint8_t(x >> 16), uint8_t(x >> 8), uint8_t(x)}; }
std::vector<uint8_t> Text(std::string_view s) { return {s.begin(), s.end()}; }

// A 24-bit BMP of 20 x 20 pixels whose header names 3000 bytes, with one field replaced.
CBytes Bmp(size_t at = 0, std::vector<uint8_t> field = {}) {
  CBytes b = Poked(600, {{0, Text("BM")}, {2, Le32(3000)}, {10, Le32(54)}, {14, Le32(40)}, {18, Le32(20)},
                         {22, Le32(20)}, {26, Le16(1)}, {28, Le16(24)}, {30, Le32(0)}});
  if (!field.empty()) std::copy(field.begin(), field.end(), b.v.begin() + long(at));
  return b;
}
CBytes Raf(std::string_view tag, uint32_t offset, uint32_t length) {
  return Poked(600, {{0, Text("FUJIFILMCCD-")}, {12, Text(tag)}, {100, Be32(offset)}, {104, Be32(length)}});
}
}  // namespace

// Each field the rules check, read at its own offset: a field taken from the wrong place
// would accept a damaged header or refuse a sound one.
TEST(PictureRules, HeaderFieldsDecideBmpPcxAndRaf) {
  CBytes pcxReserved = PcxHeader(1, 4).Add({0xC4, 0, 0xC4, 0});
  pcxReserved.v[64] = 1;
  // Run-length rows take what they take: a tall RLE8 picture in a small file is fine.
  CBytes rle8Tall = Bmp(22, Le32(1000));
  rle8Tall.v[28] = 8, rle8Tall.v[30] = 1;
  struct FieldCase {
    const char* szName;
    CBytes file;
    bool bOk;
    uint64_t nLength;
    const char16_t* szExtension;
  } cases[] = {
      {"BMP as written", Bmp(), true, 3000, u"BMP"},
      {"BMP, compression 5", Bmp(30, Le32(5)), true, 3000, u"BMP"},
      {"BMP, 32 bits per pixel", Bmp(28, Le16(32)), true, 3000, u"BMP"},
      {"BMP, first reserved word set", Bmp(6, Le16(1)), false, 0, nullptr},
      {"BMP, second reserved word set", Bmp(8, Le16(0x100)), false, 0, nullptr},
      {"BMP, compression 6", Bmp(30, Le32(6)), false, 0, nullptr},
      {"BMP, 3 bits per pixel", Bmp(28, Le16(3)), false, 0, nullptr},
      {"BMP, 2 planes", Bmp(26, Le16(2)), false, 0, nullptr},
      // The sizes must agree: 20 x 20 pixels of 24 bits take 20 rows of 60 bytes after 54.
      {"BMP, info header of 12 bytes", Bmp(14, Le32(12)), false, 0, nullptr},
      {"BMP, pixels inside the headers", Bmp(10, Le32(40)), false, 0, nullptr},
      {"BMP, pixels past the file", Bmp(10, Le32(3001)), false, 0, nullptr},
      {"BMP, rows past the file", Bmp(22, Le32(50)), false, 0, nullptr},
      {"BMP, rows top down", Bmp(22, Le32(uint32_t(-20))), true, 3000, u"BMP"},
      {"BMP, compressed rows are not counted", rle8Tall, true, 3000, u"BMP"},
      {"BMP, width 0", Bmp(18, Le32(0)), false, 0, nullptr},
      {"PCX, reserved byte set", pcxReserved, false, 0, nullptr},
      {"RAF", Raf("RAW", 0x1000, 0x2345), true, 0x3345, u"RAF"},
      // Offset and length are added in 64 bits.
      {"RAF at its limits", Raf("RAW", 0xFFFFFFFF, 0xFFFFFFFF), true, 0x1FFFFFFFEull, u"RAF"},
      {"RAF without its RAW tag", Raf("RAX", 0x1000, 0x2345), false, 0, nullptr},
  };
  for (const auto& c : cases) {
    auto r = MeasureAtUnit2(c.file.v);
    EXPECT_EQ(r.bOk, c.bOk) << c.szName;
    if (c.bOk && r.bOk) {
      EXPECT_EQ(r.nLength, c.nLength) << c.szName;
      EXPECT_EQ(r.strExtension, c.szExtension) << c.szName;
    }
  }
}
