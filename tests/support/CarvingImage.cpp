#include "support/CarvingImage.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "support/Fixtures.h"

#ifndef QUARROW_FIXTURE_DIR
#error QUARROW_FIXTURE_DIR must name the tests/fixtures source folder
#endif

namespace {

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": cannot be opened");
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error(path + ": cannot be read");
  return data;
}

std::vector<CarvingCorpusFile> LoadCorpus() {
  const std::string& dir = CarvingCorpusDir();
  nlohmann::json manifest = nlohmann::json::parse(ReadWholeFile(dir + "/manifest.json"));
  std::vector<CarvingCorpusFile> files;
  for (const auto& e : manifest.at("files")) {
    CarvingCorpusFile f;
    f.strName = e.at("name").get<std::string>();
    f.strExt = e.at("ext").get<std::string>();
    f.strFlag = e.at("flag").get<std::string>();
    f.nSize = e.at("size").get<uint64_t>();
    f.strSha256 = e.at("sha256").get<std::string>();
    f.bCarved = e.at("carved").get<bool>();
    if (f.bCarved) f.nExpectedLength = e.at("expected_length").get<uint64_t>();
    if (e.contains("note")) f.strNote = e.at("note").get<std::string>();
    // A corpus file changed on the way (for example line ends converted by a checkout) would
    // make every expectation about it wrong: say so rather than blame the scan.
    std::string path = dir + "/" + f.strName;
    if (Sha256OfFile(path) != f.strSha256)
      throw std::runtime_error(path + ": does not match its SHA-256 in manifest.json");
    files.push_back(std::move(f));
  }
  if (files.empty()) throw std::runtime_error(dir + "/manifest.json lists no files");
  return files;
}

uint64_t SectorsFor(uint64_t nBytes) {
  return (nBytes + CCarvingImage::s_nSectorSize - 1) / CCarvingImage::s_nSectorSize;
}

}  // namespace

const std::string& CarvingCorpusDir() {
  static const std::string s_strDir = std::string(QUARROW_FIXTURE_DIR) + "/carving";
  return s_strDir;
}

const std::vector<CarvingCorpusFile>& CarvingCorpus() {
  static const std::vector<CarvingCorpusFile> s_files = LoadCorpus();
  return s_files;
}

CCarvingImage CCarvingImage::BuildSequential(const std::string& strPath,
                                             const std::vector<const CarvingCorpusFile*>& files,
                                             uint32_t nGapSectors) {
  std::vector<CarvingPlacement> placements;
  uint64_t nSector = 2;
  for (const CarvingCorpusFile* pFile : files) {
    placements.push_back({pFile, nSector});
    nSector += SectorsFor(pFile->nSize) + nGapSectors;
  }
  return Write(strPath, std::move(placements), nSector + nGapSectors);
}

CCarvingImage CCarvingImage::BuildScattered(const std::string& strPath,
                                            const std::vector<const CarvingCorpusFile*>& files,
                                            uint32_t nSeed) {
  std::mt19937 rng(nSeed);
  // Plain modulo of the generator's output: the distributions of <random> differ between
  // standard libraries, the engine does not.
  auto draw = [&rng](uint32_t nLow, uint32_t nHigh) { return nLow + rng() % (nHigh - nLow + 1); };

  std::vector<const CarvingCorpusFile*> order, tail;
  for (const CarvingCorpusFile* pFile : files) (pFile->bCarved ? order : tail).push_back(pFile);
  for (size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[draw(0, uint32_t(i - 1))]);
  order.insert(order.end(), tail.begin(), tail.end());

  std::vector<CarvingPlacement> placements;
  uint64_t nSector = draw(2, 41);
  for (const CarvingCorpusFile* pFile : order) {
    placements.push_back({pFile, nSector});
    nSector += SectorsFor(pFile->nSize) + draw(1, 64);
  }
  return Write(strPath, std::move(placements), nSector + draw(1, 64));
}

CCarvingImage CCarvingImage::Write(const std::string& strPath, std::vector<CarvingPlacement> placements,
                                   uint64_t nSectorCount) {
  std::string image(nSectorCount * s_nSectorSize, char(s_nFillerByte));
  for (const CarvingPlacement& p : placements) {
    std::string data = ReadWholeFile(CarvingCorpusDir() + "/" + p.pFile->strName);
    if (data.size() != p.pFile->nSize)
      throw std::runtime_error(p.pFile->strName + ": size differs from manifest.json");
    std::copy(data.begin(), data.end(), image.begin() + std::ptrdiff_t(p.nStartSector * s_nSectorSize));
  }
  std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
  out.write(image.data(), std::streamsize(image.size()));
  out.close();
  if (!out) throw std::runtime_error(strPath + ": cannot write the image");

  CCarvingImage result;
  result.m_strPath = strPath;
  result.m_nSectorCount = nSectorCount;
  std::sort(placements.begin(), placements.end(),
            [](const CarvingPlacement& a, const CarvingPlacement& b) { return a.nStartSector < b.nStartSector; });
  result.m_placements = std::move(placements);
  return result;
}

std::string CCarvingImage::ReadBytes(uint64_t nOffset, uint64_t nLength) const {
  std::ifstream in(m_strPath, std::ios::binary);
  std::string data(nLength, '\0');
  if (in) {
    in.seekg(std::streamoff(nOffset));
    in.read(data.data(), std::streamsize(nLength));
  }
  if (!in || uint64_t(in.gcount()) != nLength)
    throw std::runtime_error(m_strPath + ": cannot read " + std::to_string(nLength) + " bytes at " +
                             std::to_string(nOffset));
  return data;
}
