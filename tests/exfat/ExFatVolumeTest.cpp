// exFAT volumes end to end: exfat.img listed and recovered through the command line and
// checked against the manifest written before anything was deleted, the same volume compared
// with The Sleuth Kit, and edited copies of it whose chains loop, folders lead back up or
// sets claim too much.
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "exfat/ExFatImage.h"
#include "support/Fixtures.h"
#include "tree/OutputFile.h"

namespace fs = std::filesystem;
using namespace exfattest;

namespace {

std::string Cli(const std::string& args, int* status = nullptr, std::string* err = nullptr) {
  std::string out, e;
  const int rc = RunCommand(std::string(QUARROW_CLI_PATH) + " " + args, &out, &e);
  if (status) *status = rc;
  else EXPECT_EQ(rc, 0) << args << "\n" << e;
  if (err) *err = e;
  return out;
}

std::map<std::string, nlohmann::json> ListJson(const std::string& image) {
  std::map<std::string, nlohmann::json> items;
  std::istringstream lines(Cli("list " + ShellQuote(image) + " --all --recursive --json"));
  for (std::string l; std::getline(lines, l);) {
    auto j = nlohmann::json::parse(l);
    items[j["path"]] = j;
  }
  return items;
}

// The manifest's reason words and the texts the listing gives for them.
const std::map<std::string, std::string> kReasonTexts = {
    {"no_check", "clusters free; no header to check for this type"},
    {"header_matches", "clusters free, header matches, length matches the size"},
    {"cluster_in_use", "fragmented: read as consecutive clusters, one of them now used by another file"},
    {"chain_gone", "FAT chain cleared: read as consecutive clusters"},
    {"first_in_use", "first cluster now used by another file"},
    {"empty", "empty file: nothing to lose"},
    {"folder", "deleted folder: its entries are read where they lie"},
    {"", ""},
};

// Items whose recovery cannot give the data back, and the manifest says why: their data
// was fragmented and its chain is gone, or another file took its clusters.
bool Recoverable(const nlohmann::json& item) {
  const std::string reason = item["reason"];
  return reason != "cluster_in_use" && reason != "chain_gone" && reason != "first_in_use";
}

}  // namespace

TEST(ExFatVolume, ListingMatchesTheManifest) {
  const auto& manifest = ExFatManifestImage("exfat.img");
  const auto listed = ListJson(ExFatFixturePath("exfat.img"));
  size_t expected = 0;
  for (const auto& item : manifest["items"]) {
    const std::string path = item["path"];
    ++expected;
    auto it = listed.find(path);
    ASSERT_NE(it, listed.end()) << path;
    const auto& j = it->second;
    EXPECT_EQ(j["dir"], item["dir"]) << path;
    EXPECT_EQ(j["deleted"], item["deleted"]) << path;
    EXPECT_EQ(j["status_code"], item["status_code"]) << path;
    EXPECT_EQ(j["status_reason"], kReasonTexts.at(item["reason"])) << path;
    if (!item["dir"].get<bool>()) EXPECT_EQ(j["size"], item["size"]) << path;
    // exfat-fuse stamps the time of the run, in UTC with a valid offset.
    if (j["path"] != "LostFiles") EXPECT_FALSE(j["modified_epoch"].is_null()) << path;
  }
  // Nothing else but the results folder and the file the fixture left as a neighbour.
  EXPECT_EQ(listed.size(), expected + 1) << "LostFiles and the manifest's items";
  EXPECT_EQ(listed.at("Half written.bin")["valid_size"], 20000);
  EXPECT_EQ(listed.at("FRAG.BIN")["contiguous"], false);
}

TEST(ExFatVolume, RecoveryMatchesTheManifestAndLeavesTheImageAlone) {
  const std::string image = ExFatFixturePath("exfat.img");
  const std::string before = Sha256OfFile(image);
  const fs::path out = fs::path(::testing::TempDir()) / ("quarrow-exfat-recover-" + std::to_string(::getpid()));
  fs::remove_all(out);
  fs::create_directories(out);
  Cli("recover " + ShellQuote(image) + " / --all --to " + ShellQuote(out.string()));
  ASSERT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);
  const fs::path root = fs::directory_iterator(out)->path();
  for (const auto& item : ExFatManifestImage("exfat.img")["items"]) {
    const fs::path p = root / std::string(item["path"]);
    if (item["dir"].get<bool>()) {
      EXPECT_TRUE(fs::is_directory(p)) << p;
      continue;
    }
    ASSERT_TRUE(fs::exists(p)) << p;
    EXPECT_EQ(fs::file_size(p), item["size"].get<uint64_t>()) << p;
    if (Recoverable(item)) EXPECT_EQ(Sha256OfFile(p.string()), item["sha256"]) << p;
  }
  EXPECT_EQ(Sha256OfFile(image), before);
  fs::remove_all(out);
}

TEST(ExFatVolume, DeletedFileWithItsChainStillWholeIsReadAlongIt) {
  // The Linux kernel leaves a deleted file's FAT entries as they were. Relinking Pair A.bin's
  // clusters (every other one from its first, interleaved with Pair B.bin's) makes the volume
  // look that way: the chain is followed and the data comes back whole.
  CExFatImage image;
  const ExFatEntrySet pairA = image.SetAt(image.FindSet(u"Pair A.bin"));
  ASSERT_FALSE(pairA.NoFatChain());
  const uint64_t c = pairA.nFirstCluster;
  image.SetFat(c, uint32_t(c + 2));
  image.SetFat(c + 2, uint32_t(c + 4));
  image.SetFat(c + 4, uint32_t(c + 6));
  image.SetFat(c + 6, 0xFFFFFFFF);
  auto volume = image.Open();
  ASSERT_NE(volume, nullptr);
  auto* file = dynamic_cast<CExFATFile*>(Child(volume->m_pRoot, u"Pair A.bin"));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->m_plan, ExFatDataPlan::FatChain);
  EXPECT_EQ(file->m_nStatusReason, StatusReason::NoHeaderCheck);
  CMemoryOutputFile out;
  ASSERT_TRUE(file->WriteContent(out, nullptr, 0));
  std::string want;
  for (const auto& item : ExFatManifestImage("exfat.img")["items"])
    if (item["path"] == "Pair A.bin") want = item["sha256"];
  EXPECT_EQ(Sha256Hex(std::string_view(reinterpret_cast<const char*>(out.Bytes().data()), out.Bytes().size())), want);

  // A chain that ends one cluster early, or runs through a cluster in use, is not whole.
  image.SetFat(c + 4, 0xFFFFFFFF);
  volume = image.Open();
  file = dynamic_cast<CExFATFile*>(Child(volume->m_pRoot, u"Pair A.bin"));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->m_plan, ExFatDataPlan::ChainGone);
}

TEST(ExFatVolume, HostileEditsEndWalksAndReadsCleanly) {
  const CExFatImage pristine;
  const uint64_t root = pristine.Geometry().nRootCluster;
  const ExFatEntrySet docs = pristine.SetAt(pristine.FindSet(u"Docs"));
  const ExFatEntrySet frag = pristine.SetAt(pristine.FindSet(u"FRAG.BIN"));
  struct Case {
    const char* what;
    std::function<void(CExFatImage&)> edit;
    std::function<void(CExFATDriver&)> check;
  } cases[] = {
      {"the root's chain loops back onto the root",
       [&](CExFatImage& i) { i.SetFat(root, uint32_t(root)); },
       [](CExFATDriver& v) { EXPECT_NE(Child(v.m_pRoot, u"README.TXT"), nullptr); }},
      {"a folder whose first cluster is the root's",
       [&](CExFatImage& i) {
         const size_t at = i.FindSet(u"Docs");
         PutLE32(i.Bytes(), at + 32 + 20, uint32_t(root));
         i.Reseal(at);
       },
       [](CExFATDriver& v) {
         EXPECT_EQ(Child(v.m_pRoot, u"Docs"), nullptr);
         EXPECT_NE(Child(v.m_pRoot, u"README.TXT"), nullptr);
       }},
      {"a subfolder sharing its parent's cluster",
       [&](CExFatImage& i) {
         const size_t at = i.FindSet(u"Inner", docs.nFirstCluster);
         PutLE32(i.Bytes(), at + 32 + 20, uint32_t(docs.nFirstCluster));
         i.Reseal(at);
       },
       [](CExFATDriver& v) {
         auto* d = static_cast<CDirectory*>(Child(v.m_pRoot, u"Docs"));
         ASSERT_NE(d, nullptr);
         EXPECT_EQ(Child(d, u"Inner"), nullptr);
         EXPECT_NE(Child(d, u"NOTE.TXT"), nullptr);
       }},
      {"a deleted set claiming 255 secondaries before live sets",
       [](CExFatImage& i) { i.Bytes()[i.FindSet(u"Removed notes.txt") + 1] = 255; },
       [](CExFATDriver& v) {
         EXPECT_EQ(Child(v.m_pRoot, u"Removed notes.txt"), nullptr);
         EXPECT_NE(Child(v.m_pRoot, u"Holiday photo.jpg"), nullptr);
         EXPECT_NE(Child(v.m_pRoot, u"Half written.bin"), nullptr);
       }},
      {"a live set whose checksum fails is still listed; a deleted one is poor",
       [](CExFatImage& i) {
         i.Bytes()[i.FindSet(u"README.TXT") + 8] ^= 1;
         i.Bytes()[i.FindSet(u"Holiday photo.jpg") + 8] ^= 1;
       },
       [](CExFATDriver& v) {
         EXPECT_NE(Child(v.m_pRoot, u"README.TXT"), nullptr);
         auto* h = Child(v.m_pRoot, u"Holiday photo.jpg");
         ASSERT_NE(h, nullptr);
         EXPECT_EQ(h->m_nStatus, uint32_t(STATUS_POOR));
         EXPECT_EQ(h->m_nStatusReason, StatusReason::SetChecksumMismatch);
       }},
      {"an existing file's chain loops",
       [&](CExFatImage& i) { i.SetFat(frag.nFirstCluster + 2, uint32_t(frag.nFirstCluster)); },
       [](CExFATDriver& v) {
         auto* f = dynamic_cast<CFSFile*>(Child(v.m_pRoot, u"FRAG.BIN"));
         ASSERT_NE(f, nullptr);
         CMemoryOutputFile out;
         EXPECT_FALSE(f->WriteContent(out, nullptr, 0));  // incomplete, and said so
         EXPECT_LE(out.Bytes().size(), f->m_nSize);
       }},
      {"sizes of 1 TiB that the clusters do not hold",
       [](CExFatImage& i) {
         // README.TXT keeps its valid data length (300 bytes): only the zeros after it
         // would grow.
         size_t at = i.FindSet(u"README.TXT");
         PutLE64(i.Bytes(), at + 32 + 24, uint64_t(1) << 40);
         i.Reseal(at);
         at = i.FindSet(u"Removed notes.txt");
         PutLE64(i.Bytes(), at + 32 + 24, uint64_t(1) << 40);
         PutLE64(i.Bytes(), at + 32 + 8, uint64_t(1) << 40);
         i.Reseal(at);
       },
       [](CExFATDriver& v) {
         auto* f = dynamic_cast<CFSFile*>(Child(v.m_pRoot, u"README.TXT"));
         ASSERT_NE(f, nullptr);
         // Written as far as the clusters from its first to the volume's end, then reported
         // as incomplete: never a terabyte of zeros.
         CMemoryOutputFile out;
         EXPECT_FALSE(f->WriteContent(out, nullptr, 0));
         EXPECT_LE(out.Bytes().size(), 32u << 20);
         auto* d = Child(v.m_pRoot, u"Removed notes.txt");
         ASSERT_NE(d, nullptr);
         EXPECT_EQ(d->m_nStatusReason, StatusReason::PastVolumeEnd);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CExFatImage image;
    c.edit(image);
    auto volume = image.Open();
    ASSERT_NE(volume, nullptr);
    c.check(*volume);
  }
}

TEST(ExFatVolume, SleuthKitListsAndReadsTheSame) {
  const std::string image = ExFatFixturePath("exfat.img");
  // fls -r -p: "r/r * 436:\tRemoved notes.txt"; the label, bitmap, up-case table and the
  // virtual entries ($MBR, $FAT1, $OrphanFiles) are The Sleuth Kit's own.
  std::string out;
  ASSERT_EQ(RunCommand("fls -r -p " + ShellQuote(image), &out, nullptr), 0);
  std::map<std::string, std::pair<std::string, bool>> theirs;
  std::istringstream lines(out);
  for (std::string l; std::getline(lines, l);) {
    const size_t tab = l.find('\t');
    if (tab == std::string::npos || l.find("(Volume Label Entry)") != std::string::npos) continue;
    const std::string path = l.substr(tab + 1);
    if (path[0] == '$') continue;
    const bool deleted = l.find(" * ") != std::string::npos && l.find(" * ") < tab;
    const size_t colon = l.rfind(':', tab);
    const size_t space = l.rfind(' ', colon);
    theirs[path] = {l.substr(space + 1, colon - space - 1), deleted};
  }
  auto ours = ListJson(image);
  ours.erase("LostFiles");
  ASSERT_EQ(ours.size(), theirs.size());
  for (const auto& [path, j] : ours) {
    auto it = theirs.find(path);
    ASSERT_NE(it, theirs.end()) << path;
    EXPECT_EQ(j["deleted"], it->second.second) << path;
    if (j["dir"].get<bool>()) continue;
    // icat reads the clusters as we do where the FAT links them or the entry says they lie in
    // one run and no other file has taken them; the recovery of each must give the same bytes.
    // (Where a deleted file's clusters are in use again, The Sleuth Kit passes over them to
    // the next free ones; and it reads a file's bytes past its valid data length from the
    // disk, where exFAT reads zeros.)
    if (j["deleted"].get<bool>() && (!j["contiguous"].get<bool>() || j["status_code"] == "poor")) continue;
    if (j["valid_size"] != j["size"]) continue;
    std::string data;
    ASSERT_EQ(RunCommand("icat " + ShellQuote(image) + " " + it->second.first, &data, nullptr), 0) << path;
    const fs::path dir = fs::path(::testing::TempDir()) / ("quarrow-exfat-icat-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    Cli("recover " + ShellQuote(image) + " " + ShellQuote(path) + " --all --to " + ShellQuote(dir.string()));
    const fs::path written = dir / fs::path(path).filename();
    EXPECT_EQ(Sha256OfFile(written.string()), Sha256Hex(data)) << path;
    fs::remove_all(dir);
  }
}
