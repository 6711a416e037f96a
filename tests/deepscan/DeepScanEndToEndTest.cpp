// End-to-end deep scan: disk images laid out from the carving corpus (real files made by the
// tools that normally write them) are scanned by quarrow-cli, and every carved file is checked
// against the corpus manifest: its sector, extension, length and bytes.
#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/CarvingImage.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

std::string Cli(const std::string& args) { return std::string(QUARROW_CLI_PATH) + " " + args; }

struct ScanRun {
  int nStatus = -1;
  std::string strErr;
  std::vector<nlohmann::json> records;  // the --json lines, in output order
  std::string strOutDir;
};

using FlagSet = std::set<std::string>;

// The types a scan looks for when --types is not given.
const FlagSet& DefaultFlags() {
  static const FlagSet s_flags = {"bmp", "jpg", "doc", "xls", "ppt", "vsd", "docx",
                                  "xlsx", "pptx", "pdf", "rar", "zip", "mov"};
  return s_flags;
}

bool AnyOf(const FlagSet& flags, std::initializer_list<const char*> names) {
  return std::any_of(names.begin(), names.end(), [&](const char* n) { return flags.count(n) != 0; });
}

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The extension a corpus file is carved under when only `flags` are enabled, or nothing when
// it is not carved. The manifest gives the extension with every type enabled; the families
// below share one signature, so a flag of the family lets the header through and the file's
// own content then decides.
std::optional<std::string> ExpectedExtension(const CarvingCorpusFile& file, const FlagSet& flags) {
  if (!file.bCarved) return std::nullopt;
  const std::string& ext = file.strExt;
  if (ext == "TIF" || ext == "NEF" || ext == "CR2") {
    // Any TIFF-family flag lets every TIFF header through; the camera maker names the
    // extension whatever RAW type was chosen, and a maker-less TIFF needs "tif".
    if (!AnyOf(flags, {"tif", "cr2", "nef", "pef", "orf"})) return std::nullopt;
    if (ext == "TIF" && !flags.count("tif")) return std::nullopt;
    return ext;
  }
  if (ext == "ZIP" || ext == "DOCX" || ext == "XLSX" || ext == "PPTX") {
    if (!AnyOf(flags, {"zip", "docx", "xlsx", "pptx"})) return std::nullopt;
    // Archives whose first member is not "[Content_Types].xml" (plain ZIPs, and office files
    // as LibreOffice writes them) are never walked; nor is any archive without an office flag.
    if (ext == "ZIP" || !AnyOf(flags, {"docx", "xlsx", "pptx"})) return std::string("ZIP");
    // The member walk names the type by the first member with an enabled prefix; without one
    // it runs into the central directory and the file is not carved.
    if (flags.count(Lower(ext))) return ext;
    return std::nullopt;
  }
  if (ext == "DOC" || ext == "XLS" || ext == "PPT") {
    // A compound document is carved only when a stream of a chosen type names it.
    if (flags.count(Lower(ext))) return ext;
    return std::nullopt;
  }
  if (ext == "MOV" || ext == "MP4" || ext == "3GP" || ext == "3G2" || ext == "M4V") {
    // A brand of a chosen type names it; any other brand is MP4 as long as one of the five
    // box-format types is chosen.
    if (flags.count(file.strFlag)) return ext;
    if (AnyOf(flags, {"3gp", "3g2", "m4v", "mp4", "mov"})) return std::string("MP4");
    return std::nullopt;
  }
  if (flags.count(file.strFlag)) return ext;
  return std::nullopt;
}

class DeepScanEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_strRoot = (fs::path(::testing::TempDir()) / ("quarrow-carving-" + std::to_string(::getpid()))).string();
    fs::remove_all(s_strRoot);
    fs::create_directories(s_strRoot);
    std::vector<const CarvingCorpusFile*> files;
    for (const CarvingCorpusFile& f : CarvingCorpus()) files.push_back(&f);
    s_pSequential = new CCarvingImage(CCarvingImage::BuildSequential(s_strRoot + "/sequential.img", files));
    s_pScattered = new CCarvingImage(CCarvingImage::BuildScattered(s_strRoot + "/scattered.img", files, 20231114));
    s_strSequentialSha = Sha256OfFile(s_pSequential->Path());
    s_strScatteredSha = Sha256OfFile(s_pScattered->Path());
  }

  static void TearDownTestSuite() {
    delete s_pSequential;
    delete s_pScattered;
    s_pSequential = s_pScattered = nullptr;
    fs::remove_all(s_strRoot);
  }

  // Runs `quarrow-cli deepscan IMAGE EXTRA --to OUTDIR --json` into a fresh folder.
  static ScanRun Scan(const CCarvingImage& image, const std::string& strExtra, const std::string& strTag) {
    ScanRun run;
    run.strOutDir = s_strRoot + "/out-" + strTag;
    fs::remove_all(run.strOutDir);
    std::string out;
    run.nStatus = RunCommand(Cli("deepscan " + ShellQuote(image.Path()) + " " + strExtra + " --to " +
                                 ShellQuote(run.strOutDir) + " --json"),
                             &out, &run.strErr);
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.empty()) continue;
      nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
      EXPECT_FALSE(j.is_discarded()) << "not a JSON line: " << line;
      if (!j.is_discarded()) run.records.push_back(std::move(j));
    }
    return run;
  }

  // Checks one scan against the layout: every file expected under `flags` is found at its sector
  // with its extension and length, numbered in the order found, written to the output folder
  // with the right bytes; nothing else is found.
  static void ExpectCarved(const CCarvingImage& image, const ScanRun& run, const FlagSet& flags) {
    ASSERT_EQ(run.nStatus, 0) << run.strErr;
    std::map<uint64_t, const nlohmann::json*> byUnit;
    for (const auto& r : run.records) {
      ASSERT_TRUE(r.contains("unit") && r.contains("name") && r.contains("ext") && r.contains("size") &&
                  r.contains("offset_bytes"))
          << r.dump();
      EXPECT_TRUE(byUnit.emplace(r["unit"].get<uint64_t>(), &r).second) << "two files at one unit: " << r.dump();
    }

    size_t nExpected = 0;
    for (const CarvingPlacement& p : image.Placements()) {
      const CarvingCorpusFile& f = *p.pFile;
      std::optional<std::string> ext = ExpectedExtension(f, flags);
      auto it = byUnit.find(p.nStartSector);
      if (!ext) {
        EXPECT_EQ(it, byUnit.end()) << f.strName << " at unit " << p.nStartSector
                                    << " should not be carved, got " << it->second->dump();
        continue;
      }
      ++nExpected;
      if (it == byUnit.end()) {
        ADD_FAILURE() << f.strName << " (" << *ext << ", " << f.nExpectedLength << " bytes) not found at unit "
                      << p.nStartSector;
        continue;
      }
      const nlohmann::json& r = *it->second;
      SCOPED_TRACE(f.strName + " at unit " + std::to_string(p.nStartSector) + ": " + r.dump());
      EXPECT_EQ(r["ext"], *ext);
      EXPECT_EQ(r["size"].get<uint64_t>(), f.nExpectedLength) << f.strNote;
      EXPECT_EQ(r["offset_bytes"].get<uint64_t>(), p.nStartSector * CCarvingImage::s_nSectorSize);

      std::string strWritten = run.strOutDir + "/" + r["name"].get<std::string>();
      ASSERT_TRUE(fs::exists(strWritten)) << strWritten;
      EXPECT_EQ(fs::file_size(strWritten), f.nExpectedLength);
      if (f.nExpectedLength == f.nSize) {
        EXPECT_EQ(Sha256OfFile(strWritten), f.strSha256) << "carved bytes differ from the original";
      } else {
        std::string strImage = image.ReadBytes(p.nStartSector * CCarvingImage::s_nSectorSize, f.nExpectedLength);
        EXPECT_EQ(Sha256OfFile(strWritten), Sha256Hex(strImage)) << "carved bytes differ from the image's";
      }
    }
    EXPECT_EQ(run.records.size(), nExpected) << "files found where none was placed";

    // Names count the files in the order found, which is ascending unit order.
    size_t nIndex = 0;
    for (const auto& [nUnit, pRecord] : byUnit) {
      ++nIndex;
      EXPECT_EQ((*pRecord)["name"], "FILE_" + std::to_string(nIndex) + "." + (*pRecord)["ext"].get<std::string>())
          << "at unit " << nUnit;
    }
    size_t nWritten = 0;
    if (fs::exists(run.strOutDir))
      for ([[maybe_unused]] const auto& entry : fs::directory_iterator(run.strOutDir)) ++nWritten;
    EXPECT_EQ(nWritten, run.records.size()) << "files in " << run.strOutDir;
  }

  static FlagSet AllFlags() {
    FlagSet all;
    for (const char* name : {"bmp", "gif", "jpg", "pcx", "png", "psd", "tga", "tif", "cr2", "nef",
                             "raf", "pef", "orf", "doc", "xls", "ppt", "vsd", "docx", "xlsx", "pptx",
                             "3ds", "dbf", "dxf", "pdf", "html", "rar", "zip", "dbx", "pst", "msg",
                             "3gp", "3g2", "avi", "m4v", "mov", "mp4", "mid", "mp3", "wav", "cdr"})
      all.insert(name);
    return all;
  }

  static const CarvingPlacement& PlacementOf(const CCarvingImage& image, const std::string& strName) {
    for (const CarvingPlacement& p : image.Placements())
      if (p.pFile->strName == strName) return p;
    throw std::runtime_error(strName + " is not in the image");
  }

  static std::string s_strRoot;
  static CCarvingImage* s_pSequential;
  static CCarvingImage* s_pScattered;
  static std::string s_strSequentialSha, s_strScatteredSha;
};

std::string DeepScanEndToEnd::s_strRoot;
CCarvingImage* DeepScanEndToEnd::s_pSequential = nullptr;
CCarvingImage* DeepScanEndToEnd::s_pScattered = nullptr;
std::string DeepScanEndToEnd::s_strSequentialSha;
std::string DeepScanEndToEnd::s_strScatteredSha;

}  // namespace

TEST_F(DeepScanEndToEnd, AllTypesCarveEveryFileWhereItLiesAndLeaveTheImageUnchanged) {
  struct Layout {
    const char* szTag;
    const CCarvingImage* pImage;
    const std::string* pSha;
  } layouts[] = {{"sequential", s_pSequential, &s_strSequentialSha},
                 {"scattered", s_pScattered, &s_strScatteredSha}};
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.szTag);
    ScanRun run = Scan(*layout.pImage, "--types all", std::string("all-") + layout.szTag);
    ExpectCarved(*layout.pImage, run, AllFlags());
    EXPECT_EQ(Sha256OfFile(layout.pImage->Path()), *layout.pSha) << "the scan changed the image";
  }
}

TEST_F(DeepScanEndToEnd, TypeSelectionsCarveOnlyTheirFamilies) {
  // The default set carves ISO box files of other brands as MP4 (MOV is in it); "zip,nef"
  // carves office packages as ZIP and both camera RAW lookalikes by their makers, but no plain
  // TIFF; "docx,xls" walks every package and carves only the word-processor one, and only the
  // compound document with a workbook.
  struct Case {
    const char* szTypes;  // nullptr: no --types
    FlagSet flags;
  } cases[] = {
      {nullptr, DefaultFlags()},
      {"jpg", {"jpg"}},
      {"zip,nef", {"zip", "nef"}},
      {"docx,xls", {"docx", "xls"}},
  };
  int nCase = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.szTypes ? c.szTypes : "(default)");
    ScanRun run = Scan(*s_pSequential, c.szTypes ? std::string("--types ") + c.szTypes : std::string(),
                       "types-" + std::to_string(nCase++));
    ExpectCarved(*s_pSequential, run, c.flags);
  }
}

TEST_F(DeepScanEndToEnd, UnitRangeBoundsTheScanAndItsEndMarkerSearch) {
  // A PNG is measured by searching for its IEND chunk: the range must reach its last sector.
  const CarvingPlacement& png = PlacementOf(*s_pSequential, "picture.png");
  uint64_t nLast = png.nStartSector + (png.pFile->nSize + 511) / 512 - 1;
  struct Case {
    uint64_t nFirst, nLast;
    bool bCarved;
  } cases[] = {
      {png.nStartSector, nLast, true},
      {png.nStartSector, nLast - 1, false},
      {png.nStartSector + 1, nLast + 3, false},  // its inside and the filler after it
  };
  int nCase = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.nFirst) + " to " + std::to_string(c.nLast));
    ScanRun run = Scan(*s_pSequential,
                       "--types all --first " + std::to_string(c.nFirst) + " --last " + std::to_string(c.nLast),
                       "range-" + std::to_string(nCase++));
    ASSERT_EQ(run.nStatus, 0) << run.strErr;
    if (!c.bCarved) {
      EXPECT_TRUE(run.records.empty()) << run.records.front().dump();
      continue;
    }
    ASSERT_EQ(run.records.size(), 1u);
    EXPECT_EQ(run.records[0]["unit"].get<uint64_t>(), png.nStartSector);
    EXPECT_EQ(run.records[0]["name"], "FILE_1.PNG");
    EXPECT_EQ(Sha256OfFile(run.strOutDir + "/FILE_1.PNG"), png.pFile->strSha256);
  }
}

TEST_F(DeepScanEndToEnd, BadArgumentsAndSourcesExitWithTwoAndWriteNothing) {
  const std::string image = ShellQuote(s_pSequential->Path());
  const std::string missingParent = s_strRoot + "/no-such-folder/out";
  const std::string out = s_strRoot + "/bad-args-out";
  struct Case {
    std::string strArgs;
  } cases[] = {
      {"deepscan " + image + " --types all --to " + ShellQuote(missingParent) + " --json"},
      {"deepscan " + image + " --types jpg,nosuchtype --to " + ShellQuote(out) + " --json"},
      {"deepscan " + image + " --types JPEG --to " + ShellQuote(out) + " --json"},
      {"deepscan " + ShellQuote(s_strRoot + "/missing.img") + " --types all --to " + ShellQuote(out) + " --json"},
  };
  for (const Case& c : cases) {
    std::string strOut, strErr;
    EXPECT_EQ(RunCommand(Cli(c.strArgs), &strOut, &strErr), 2) << c.strArgs;
    EXPECT_EQ(strOut, "") << c.strArgs;
    EXPECT_FALSE(strErr.empty()) << c.strArgs;
    EXPECT_FALSE(fs::exists(missingParent)) << c.strArgs;
    EXPECT_TRUE(!fs::exists(out) || fs::is_empty(out)) << c.strArgs;
  }
  EXPECT_EQ(Sha256OfFile(s_pSequential->Path()), s_strSequentialSha);
}
