// Signature recognition: which enabled format begins in one unit's bytes.
//
// Five stages in order, each deciding on its first success: four-byte magic numbers;
// the ISO box "ftyp"/"moov" at bytes 4-7; two-byte magics; DXF text within the first
// sector; the dBASE header. A stage-1 magic whose further condition or flags fail falls
// through to the later stages. Disabled formats are not considered at all.
#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "deepscan/FileTypes.h"
#include "deepscan/UnitStream.h"
#include "deepscan/formats/Text.h"
#include "platform/ByteReader.h"

namespace {
bool Eq(const uint8_t* p, const char* s, size_t n) { return std::memcmp(p, s, n) == 0; }

// Whether the n bytes at b begin a DXF file: its first group is "0" / "SECTION", after an
// optional "999" comment group; group codes may be padded with spaces, lines end in CR LF
// or LF. (Every section of a drawing begins with the same group: only the file's start is
// taken, so the inside of a DXF file is never a find of its own.)
bool BeginsDxf(const uint8_t* b, size_t n) {
  size_t i = 0;
  auto lineEnd = [&] {
    if (i < n && b[i] == '\n') return ++i, true;
    if (i + 1 < n && b[i] == '\r' && b[i + 1] == '\n') return i += 2, true;
    return false;
  };
  auto code = [&](const char* digits) {
    while (i < n && b[i] == ' ') ++i;
    for (; *digits; ++digits, ++i)
      if (i >= n || b[i] != uint8_t(*digits)) return false;
    return lineEnd();
  };
  if (code("999")) {
    while (i < n && b[i] != '\n') ++i;  // the comment
    if (i++ >= n) return false;
  } else {
    i = 0;
  }
  if (!code("0")) return false;
  static constexpr char kSection[] = "SECTION";
  if (n - i < sizeof kSection - 1 || std::memcmp(b + i, kSection, sizeof kSection - 1) != 0) return false;
  i += sizeof kSection - 1;
  return lineEnd();
}
}  // namespace

namespace {
// Bytes that begin some signature of stages 1, 3 and 5.
struct CFirstBytes {
  bool v[256] = {};
  constexpr CFirstBytes() {
    for (int c : std::initializer_list<int>{0x00, 'I', 'M', 'P', 'R', 'J', 'G', '%', 0x89, 'F', '<', '!', '8', 0xD0,
                                            0xCF, 0x0A, 'B', 0xFF, 0x02, 0x03, 0x30, 0x43, 0x63, 0x83, 0x8B, 0x8E,
                                            0xCB, 0xF5, 0xFB})
      v[c] = true;
  }
};
constexpr CFirstBytes kFirst;
}  // namespace

namespace {
// The bytes of a unit the DXF stage reads: its first sector, at most the unit.
size_t DxfProbeBytes(uint32_t bytesPerSector, uint32_t bytesPerCluster) {
  size_t n = bytesPerSector ? bytesPerSector : 512;
  return n > bytesPerCluster && bytesPerCluster ? bytesPerCluster : n;
}
}  // namespace

size_t CLogicalDriver::SignatureProbeBytes() const {
  size_t n = 32;
  if (m_bScanDXF) n = std::max(n, DxfProbeBytes(m_nBytesPerSector, m_nBytesPerCluster));
  if (m_bScanTXT) n = std::max(n, kTextProbeBytes);
  return n;
}

uint16_t CLogicalDriver::MatchSignatureOf(const uint8_t* b, bool text) const {
  if (!kFirst.v[b[0]] && !Eq(b + 4, "ftyp", 4) && !Eq(b + 4, "moov", 4)) {
    // No magic number can begin here: only the text stages are left (most units of random
    // data end here, after one table look-up or a few bytes of the text probe).
    if (m_bScanDXF && BeginsDxf(b, DxfProbeBytes(m_nBytesPerSector, m_nBytesPerCluster))) return FT_DXF;
    if (text && LooksLikeText(b, kTextProbeBytes)) return FT_TXT;
    return kNoFileType;
  }
  const bool tiffFamily = m_bScanTIF || m_bScanCR2 || m_bScanNEF || m_bScanPEF || m_bScanORF;

  // Stage 1: bytes 0-3.
  if ((Eq(b, "\x00\x00\x02\x00", 4) || Eq(b, "\x00\x00\x0A\x00", 4))) {
    if (m_bScanTGA) return FT_TGA;
  } else if (Eq(b, "II\x2A\x00", 4) || Eq(b, "MM\x00\x2A", 4) || Eq(b, "IIRO", 4) || Eq(b, "IIRS", 4)) {
    if (tiffFamily) return FT_TIFF;
  } else if (Eq(b, "ID3", 3)) {
    // An ID3v2 tag before the first frame: version 2 to 4, sizes of 7-bit bytes.
    if (b[3] >= 2 && b[3] <= 4 && b[4] != 0xFF && ((b[6] | b[7] | b[8] | b[9]) & 0x80) == 0 && m_bScanMP3)
      return FT_MP3;
  } else if (Eq(b, "PK\x03\x04", 4)) {
    if (m_bScanZIP || m_bScanDOCX || m_bScanXLSX || m_bScanPPTX) return FT_ZIP;
  } else if (Eq(b, "Rar!", 4)) {
    if (Eq(b + 4, "\x1A\x07\x00", 3) && m_bScanRAR) return FT_RAR;
  } else if (Eq(b, "JMF6", 4)) {
    if (Eq(b + 4, "\x03\x00\x10\x00", 4) && m_bScanDBX) return FT_DBX;
  } else if (Eq(b, "GIF8", 4)) {
    if ((b[4] == '9' || b[4] == '7') && b[5] == 'a' && m_bScanGIF) return FT_GIF;
  } else if (Eq(b, "%PDF", 4)) {
    if (b[4] == '-' && m_bScanPDF) return FT_PDF;
  } else if (Eq(b, "RIFF", 4)) {
    if (Eq(b + 8, "AVI", 3) && m_bScanAVI) return FT_AVI;
    if (Eq(b + 8, "WAVE", 4) && m_bScanWAV) return FT_WAV;
    if (Eq(b + 8, "CDR", 3) && m_bScanCDR) return FT_CDR;
  } else if (Eq(b, "\x89PNG", 4)) {
    if (Eq(b + 4, "\x0D\x0A\x1A\x0A", 4) && m_bScanPNG) return FT_PNG;
  } else if (Eq(b, "FUJI", 4)) {
    if (Eq(b + 4, "FILM", 4) && Eq(b + 8, "CCD-", 4) && m_bScanRAF) return FT_RAF;
  } else if (Eq(b, "<HTM", 4)) {
    if (b[4] == 'L' && b[5] == '>' && m_bScanHTML) return FT_HTM;
  } else if (Eq(b, "<htm", 4)) {
    if (b[4] == 'l' && b[5] == '>' && m_bScanHTML) return FT_HTM;
  } else if (Eq(b, "!BDN", 4)) {
    if (m_bScanPST) return FT_PST;
  } else if (Eq(b, "8BPS", 4)) {
    if (Eq(b + 6, "\x00\x00\x00\x00", 4) && m_bScanPSD) return FT_PSD;
  } else if (Eq(b, "MThd", 4)) {
    if (Eq(b + 4, "\x00\x00\x00\x06", 4) && m_bScanMID) return FT_MID;
  } else if (Eq(b, "\xD0\xCF\x11\xE0", 4)) {
    if (Eq(b + 4, "\xA1\xB1\x1A\xE1", 4) && (m_bScanDOC || m_bScanXLS || m_bScanPPT || m_bScanVSD || m_bScanMSG))
      return FT_MSCOM;
  } else if (Eq(b, "\xCF\xAD\x12\xFE", 4)) {
    if ((Eq(b + 4, "\xC5\xFD\x74\x6F", 4) || Eq(b + 4, "\xC6\xFD\x74\x6F", 4)) && Eq(b + 8, "\x66\xE3\xD1\x11", 4) &&
        Eq(b + 12, "\x9A\x4E\x00\xC0", 4) && m_bScanDBX)
      return FT_DBX;
  }

  // Stage 2: bytes 4-7.
  if (Eq(b + 4, "ftyp", 4)) {
    if (Eq(b + 8, "3gp", 3) && m_bScan3GP) return FT_3GP;
    if (Eq(b + 8, "3g2", 3) && m_bScan3G2) return FT_3G2;
    if (Eq(b + 8, "M4V", 3) && m_bScanM4V) return FT_M4V;
    if (Eq(b + 8, "mp4", 3) && m_bScanMP4) return FT_MP4;
    if (Eq(b + 8, "qt", 2) && m_bScanMOV) return FT_MOV;
    if (m_bScan3GP || m_bScan3G2 || m_bScanM4V || m_bScanMP4 || m_bScanMOV) return FT_MP4;
  } else if (Eq(b + 4, "moov", 4) && m_bScanMOV) {
    return FT_MOV;
  }

  // Stage 3: bytes 0-1.
  if (b[0] == 0x0A && (b[1] == 0x00 || (b[1] >= 0x02 && b[1] <= 0x05))) {
    if (m_bScanPCX) return FT_PCX;
  } else if (b[0] == 'B' && b[1] == 'M') {
    if (m_bScanBMP) return FT_BMP;
  } else if (b[0] == 'M' && b[1] == 'M') {
    // The main chunk holds either the version chunk (0x0002, 10 bytes) and then the editor
    // chunk (0x3D3D, "=="), as 3D Studio writes it, or the editor chunk first, as other
    // writers do; a first chunk longer than the main chunk is no 3DS file.
    const uint32_t mainLength = bytes::RawLE32(b + 2), firstLength = bytes::RawLE32(b + 8);
    const bool versionFirst = b[6] == 0x02 && b[7] == 0x00 && b[16] == '=' && b[17] == '=';
    const bool editorFirst = b[6] == '=' && b[7] == '=' && firstLength >= 6 && mainLength >= 6 &&
                             firstLength <= mainLength - 6;
    if ((versionFirst || editorFirst) && m_bScan3DS) return FT_3DS;
  } else if (b[0] == 0xFF && b[1] == 0xD8) {
    if (m_bScanJPG) return FT_JPG;
  } else if (b[0] == 0xFF && b[1] == 0xFB) {
    if (m_bScanMP3) return FT_MP3;
  }

  // Stage 4: DXF text at the start of the first sector.
  if (m_bScanDXF && BeginsDxf(b, DxfProbeBytes(m_nBytesPerSector, m_nBytesPerCluster))) return FT_DXF;

  // Stage 5: dBASE table.
  if (m_bScanDBF) {
    switch (b[0]) {
      case 0x02: case 0x03: case 0x30: case 0x43: case 0x63: case 0x83: case 0x8B: case 0x8E: case 0xCB:
      case 0xF5: case 0xFB:
        if (b[12] == 0 && b[13] == 0 && b[30] == 0 && b[31] == 0) return FT_DBF;
        break;
      default:
        break;
    }
  }

  // Stage 6: plain text, when nothing else matched: a first sector of text with a line end.
  if (text && LooksLikeText(b, kTextProbeBytes)) return FT_TXT;
  return kNoFileType;
}
