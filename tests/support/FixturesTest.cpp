#include "support/Fixtures.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

// A scratch path of this process: other build trees may run the same tests at the same time.
std::filesystem::path ScratchPath(const std::string& name) {
  return std::filesystem::path(::testing::TempDir()) / (name + "-" + std::to_string(::getpid()));
}

nlohmann::json LoadManifest() {
  std::ifstream in(FixturePath("manifest.json"));
  return nlohmann::json::parse(in);
}

std::string ReadBytes(const std::string& path, uint64_t nOffset, size_t nCount) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(std::streamoff(nOffset));
  std::string strBytes(nCount, '\0');
  in.read(strBytes.data(), std::streamsize(nCount));
  if (size_t(in.gcount()) != nCount) {
    throw std::runtime_error("short read of " + path + " at " + std::to_string(nOffset));
  }
  return strBytes;
}

uint64_t LittleEndian(const std::string& bytes, size_t nOffset, size_t nCount) {
  uint64_t nValue = 0;
  for (size_t i = nCount; i-- > 0;) nValue = nValue << 8 | uint8_t(bytes.at(nOffset + i));
  return nValue;
}

TEST(FixturesSha256, MatchesPublishedDigests) {
  struct {
    std::string strInput;
    const char* pDigest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sha256Hex(c.strInput), c.pDigest) << "input of " << c.strInput.size() << " bytes";
    // The same bytes fed in uneven pieces that straddle block boundaries.
    for (size_t nPiece : {1u, 7u, 63u, 64u, 65u}) {
      CSha256 sha;
      for (size_t i = 0; i < c.strInput.size(); i += nPiece) {
        sha.Update(c.strInput.data() + i, std::min(nPiece, c.strInput.size() - i));
      }
      EXPECT_EQ(sha.FinalHex(), c.pDigest) << c.strInput.size() << " bytes in pieces of " << nPiece;
    }
  }
}

TEST(FixturesSha256, UnreadableFileThrows) {
  EXPECT_THROW(Sha256OfFile("/nonexistent/quarrow/file"), std::runtime_error);
  EXPECT_THROW(Sha256OfFile("/"), std::runtime_error);
}

TEST(FixturesRunCommand, SeparatesStreamsAndReportsStatus) {
  struct {
    const char* pCommand;
    std::string strOut;
    std::string strErr;
    int nStatus;
  } cases[] = {
      {"printf out; printf err >&2; exit 3", "out", "err", 3},
      {"printf 'it'\\''s'", "it's", "", 0},
      {"cat", "", "", 0},  // stdin is empty, not the test's own
      {"kill -TERM $$", "", "", 128 + 15},
      {"exec /nonexistent/quarrow-tool 2>/dev/null", "", "", 127},
      // Far more than a pipe holds, on both streams at once.
      {"head -c 300000 /dev/zero | tr '\\0' o; head -c 300000 /dev/zero | tr '\\0' e >&2",
       std::string(300000, 'o'), std::string(300000, 'e'), 0},
  };
  for (const auto& c : cases) {
    std::string strOut = "stale", strErr = "stale";
    EXPECT_EQ(RunCommand(c.pCommand, &strOut, &strErr), c.nStatus) << c.pCommand;
    EXPECT_EQ(strOut, c.strOut) << c.pCommand;
    EXPECT_EQ(strErr, c.strErr) << c.pCommand;
  }
  EXPECT_EQ(RunCommand("echo dropped; exit 4", nullptr, nullptr), 4);

  const std::string strAwkward = "a 'quoted' $HOME `x` \\ \"b\" *";
  std::string strOut;
  EXPECT_EQ(RunCommand("printf %s " + ShellQuote(strAwkward), &strOut, nullptr), 0);
  EXPECT_EQ(strOut, strAwkward);
}

TEST(FixturesManifest, ListsEveryImageWithItsSizeAndHash) {
  const std::map<std::string, std::vector<std::string>> expected = {
      {"fat12.img", {"FAT12"}},
      {"fat16.img", {"FAT16"}},
      {"fat32.img", {"FAT32"}},
      {"ntfs.img", {"NTFS"}},
      {"disk.img", {"FAT12", "FAT16", "FAT32", "NTFS"}},
      {"gpt.img", {"FAT16", "NTFS"}},
      {"notfs.img", {}},
      {"truncated.img", {"FAT16"}},
      {"reformatted.img", {"FAT32"}},
  };
  nlohmann::json manifest = LoadManifest();
  std::set<std::string> seen;
  for (const auto& image : manifest.at("images")) {
    std::string strName = image.at("name");
    SCOPED_TRACE(strName);
    seen.insert(strName);
    ASSERT_TRUE(expected.count(strName));
    std::string strPath = FixturePath(strName);
    ASSERT_TRUE(std::filesystem::is_regular_file(strPath));
    EXPECT_EQ(std::filesystem::file_size(strPath), image.at("size").get<uint64_t>());
    EXPECT_EQ(Sha256OfFile(strPath), image.at("sha256").get<std::string>());
    std::vector<std::string> fileSystems;
    for (const auto& volume : image.at("volumes")) fileSystems.push_back(volume.at("fs"));
    EXPECT_EQ(fileSystems, expected.at(strName));
  }
  EXPECT_EQ(seen.size(), expected.size());

  // truncated.img is the head of fat16.img, whose boot sector claims the full size.
  std::string strHead = ReadBytes(FixturePath("fat16.img"), 0, 65536);
  EXPECT_EQ(Sha256Hex(strHead), Sha256OfFile(FixturePath("truncated.img")));
  EXPECT_GT(LittleEndian(strHead, 19, 2) * 512, 65536u);
}

// The recorded offsets agree with the partition tables and with the boot sectors found there.
TEST(FixturesManifest, OffsetsMatchPartitionTablesAndBootSectors) {
  nlohmann::json manifest = LoadManifest();
  for (const auto& image : manifest.at("images")) {
    std::string strPath = FixturePath(image.at("name"));
    std::string strScheme = image.at("scheme");
    SCOPED_TRACE(strPath);
    std::string strMbr = ReadBytes(strPath, 0, 512);
    std::string strGptHeader, strGptEntries;
    if (strScheme == "gpt") {
      strGptHeader = ReadBytes(strPath, 512, 92);
      ASSERT_EQ(strGptHeader.substr(0, 8), "EFI PART");
      strGptEntries = ReadBytes(strPath, LittleEndian(strGptHeader, 72, 8) * 512, 128 * 4);
    }
    for (const auto& volume : image.at("volumes")) {
      uint64_t nStart = volume.at("start_sector"), nSectors = volume.at("sectors");
      EXPECT_EQ(volume.at("offset").get<uint64_t>(), nStart * 512);
      if (strScheme == "mbr") {
        size_t nEntry = 446 + 16 * (volume.at("partition").get<size_t>() - 1);
        EXPECT_EQ(std::stoul(volume.at("type").get<std::string>(), nullptr, 16),
                  uint8_t(strMbr[nEntry + 4]));
        EXPECT_EQ(LittleEndian(strMbr, nEntry + 8, 4), nStart);
        EXPECT_EQ(LittleEndian(strMbr, nEntry + 12, 4), nSectors);
      } else if (strScheme == "gpt") {
        size_t nEntry = 128 * (volume.at("partition").get<size_t>() - 1);
        EXPECT_EQ(LittleEndian(strGptEntries, nEntry + 32, 8), nStart);
        EXPECT_EQ(LittleEndian(strGptEntries, nEntry + 40, 8), nStart + nSectors - 1);
      } else {
        EXPECT_EQ(nStart, 0u);
      }

      std::string strBoot = ReadBytes(strPath, nStart * 512, 512);
      EXPECT_EQ(strBoot.substr(510), "\x55\xaa");
      EXPECT_EQ(LittleEndian(strBoot, 11, 2), volume.at("bytes_per_sector").get<uint64_t>());
      EXPECT_EQ(LittleEndian(strBoot, 28, 4), nStart) << "hidden sectors";
      std::string strLabel = volume.at("label");
      if (volume.at("fs") == "NTFS") {
        EXPECT_EQ(strBoot.substr(3, 8), "NTFS    ");
        EXPECT_EQ(LittleEndian(strBoot, 40, 8) + 1, nSectors);  // the last sector holds a backup
      } else {
        bool bFat32 = volume.at("fs") == "FAT32";
        strLabel.resize(11, ' ');
        EXPECT_EQ(strBoot.substr(bFat32 ? 71 : 43, 11), strLabel);
        EXPECT_EQ(LittleEndian(strBoot, 13, 1) * 512, volume.at("bytes_per_cluster").get<uint64_t>());
      }
    }
  }
  std::string strNotFs = ReadBytes(FixturePath("notfs.img"), 0, 512);
  EXPECT_NE(strNotFs.substr(510), "\x55\xaa");
  EXPECT_NE(strNotFs, std::string(512, '\0'));
}

// Every file the manifest records as live reads back with its size and hash through the tools
// that wrote it; every one recorded as deleted is gone from the directory tree.
TEST(FixturesManifest, RecordedFilesReadBackThroughTheFormattingTools) {
  nlohmann::json manifest = LoadManifest();
  std::string strEnv = "LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 PATH=\"$PATH:/usr/sbin:/sbin\" ";
  std::filesystem::path tmp = ScratchPath("fixtures-ntfs.img");
  int nLive = 0, nDeleted = 0;
  for (const auto& image : manifest.at("images")) {
    if (image.contains("truncated_from")) continue;
    std::string strPath = FixturePath(image.at("name"));
    for (const auto& volume : image.at("volumes")) {
      SCOPED_TRACE(strPath + " at sector " + std::to_string(volume.at("start_sector").get<uint64_t>()));
      bool bNtfs = volume.at("fs") == "NTFS";
      std::string strNtfsImage = strPath;
      if (bNtfs && volume.at("start_sector") != 0) {
        // ntfscat reads whole volumes only: copy the partition out.
        strNtfsImage = tmp.string();
        ASSERT_EQ(RunCommand("dd status=none bs=512 if=" + ShellQuote(strPath) + " of=" +
                                 ShellQuote(strNtfsImage) + " skip=" +
                                 std::to_string(volume.at("start_sector").get<uint64_t>()) +
                                 " count=" + std::to_string(volume.at("sectors").get<uint64_t>()),
                             nullptr, nullptr),
                  0);
      }
      for (const auto& file : volume.at("files")) {
        std::string strFile = file.at("path");
        std::string strCommand =
            bNtfs ? "ntfscat " + ShellQuote(strNtfsImage) + " " + ShellQuote("/" + strFile)
                  : "mcopy -n -i " +
                        ShellQuote(strPath + "@@" + std::to_string(volume.at("offset").get<uint64_t>())) +
                        " " + ShellQuote("::/" + strFile) + " -";
        std::string strOut, strErr;
        int nStatus = RunCommand(strEnv + strCommand, &strOut, &strErr);
        if (file.at("deleted").get<bool>()) {
          EXPECT_NE(nStatus, 0) << strFile << " should be deleted";
          ++nDeleted;
          continue;
        }
        ASSERT_EQ(nStatus, 0) << strCommand << "\n" << strErr;
        EXPECT_EQ(strOut.size(), file.at("size").get<size_t>()) << strFile;
        EXPECT_EQ(Sha256Hex(strOut), file.at("sha256").get<std::string>()) << strFile;
        ++nLive;
      }
    }
  }
  std::filesystem::remove(tmp);
  EXPECT_GT(nLive, 0);
  EXPECT_GT(nDeleted, 0);
}

}  // namespace
