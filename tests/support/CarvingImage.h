// The signature-carving corpus and disk images made from it at test time.
//
// The corpus (tests/fixtures/carving) holds small real files of the formats the deep scan
// recognises, made by tests/fixtures/make_carving_corpus.sh; its manifest.json lists each file
// with the extension the scan gives it, the type flag that enables its format, its size and
// SHA-256, and the length its extent rule measures (README.md beside the files says why a few
// measure short). A CCarvingImage lays such files into a disk image, each starting on a sector
// boundary with filler between them, and remembers where each one went.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CarvingCorpusFile {
  std::string strName;        // file name inside the corpus folder
  std::string strExt;         // extension of the carved file with every type enabled
  std::string strFlag;        // lower-case name of the type flag that enables its format
  uint64_t nSize = 0;         // bytes
  std::string strSha256;      // lower-case hex
  bool bCarved = false;       // false: the scan is expected to leave it alone
  uint64_t nExpectedLength = 0;  // the carved length when bCarved
  std::string strNote;        // why the carved length differs from the size, when it does
};

// The corpus folder (tests/fixtures/carving in the source tree).
const std::string& CarvingCorpusDir();

// The manifest's files in its order. Throws std::runtime_error when the manifest cannot be read
// or a file it lists is missing or differs in size.
const std::vector<CarvingCorpusFile>& CarvingCorpus();

// Where one corpus file lies in an image.
struct CarvingPlacement {
  const CarvingCorpusFile* pFile = nullptr;
  uint64_t nStartSector = 0;
};

class CCarvingImage {
 public:
  static constexpr uint32_t s_nSectorSize = 512;
  // Filler between files: a byte that starts no recognised signature (it is not in the dBASE
  // first-byte list, and a run of it forms no box size, frame header or text marker).
  static constexpr uint8_t s_nFillerByte = 0xE5;

  // Sectors 0 and 1 of filler, then the files in the given order, the first at sector 2 (the
  // first sector a deep scan looks at), each followed by filler to the next sector boundary and
  // nGapSectors whole sectors of filler; nGapSectors more close the image.
  static CCarvingImage BuildSequential(const std::string& strPath,
                                       const std::vector<const CarvingCorpusFile*>& files,
                                       uint32_t nGapSectors = 3);

  // The files in an order and at sector offsets drawn from nSeed (std::mt19937, so the layout is
  // the same on every platform): a lead of 2 to 41 sectors, gaps of 1 to 64 sectors. Files
  // that are not expected to be carved keep their relative order at the end, so that the
  // end-marker search of such a file runs into the end of the image rather than into a later
  // file of the same format.
  static CCarvingImage BuildScattered(const std::string& strPath,
                                      const std::vector<const CarvingCorpusFile*>& files,
                                      uint32_t nSeed);

  const std::string& Path() const { return m_strPath; }
  // In ascending sector order, which is the order a scan finds them.
  const std::vector<CarvingPlacement>& Placements() const { return m_placements; }
  uint64_t SectorCount() const { return m_nSectorCount; }

  // nLength bytes of the image from nOffset. Throws std::runtime_error when they cannot be read.
  std::string ReadBytes(uint64_t nOffset, uint64_t nLength) const;

 private:
  // Writes the image: each file at its sector, filler everywhere else, nSectorCount sectors.
  static CCarvingImage Write(const std::string& strPath, std::vector<CarvingPlacement> placements,
                             uint64_t nSectorCount);

  std::string m_strPath;
  std::vector<CarvingPlacement> m_placements;
  uint64_t m_nSectorCount = 0;
};
