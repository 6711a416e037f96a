// quarrow-cli image against a faulty file the kernel serves (tests/faultyfs over FUSE): bad,
// flaky and slow sectors, a disk that is unplugged, Ctrl-C, and maps shared with GNU ddrescue.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/FaultyMount.h"
#include "support/Fixtures.h"
#include "tasks/RescueMap.h"

namespace fs = std::filesystem;

namespace {
constexpr uint64_t kSector = 512;

std::string Cli(const std::string& args) { return std::string(QUARROW_CLI_PATH) + " " + args; }

// The test's own scratch folder, removed with what it holds when the test ends (the copies
// of the fixture images would otherwise pile up in the temporary folder run after run).
struct CScratch {
  CScratch()
      : path(fs::path(::testing::TempDir()) /
             ("quarrow-image-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
              std::to_string(::getpid()))) {
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~CScratch() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  CScratch(const CScratch&) = delete;
  CScratch& operator=(const CScratch&) = delete;
  const fs::path path;
};

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The reads faultyfs logged: (offset, length, result).
struct LoggedRead {
  uint64_t nOffset, nLength;
  int nResult;
};
std::vector<LoggedRead> ReadLog(const fs::path& p) {
  std::vector<LoggedRead> out;
  std::istringstream in(ReadAll(p));
  LoggedRead r{};
  while (in >> r.nOffset >> r.nLength >> r.nResult) out.push_back(r);
  return out;
}

// The image equals the source but for the bad sectors, which are zeros.
void ExpectImage(const std::string& image, const std::string& source, const std::set<uint64_t>& bad) {
  const std::string got = ReadAll(image), want = ReadAll(source);
  ASSERT_EQ(got.size(), want.size());
  for (uint64_t s = 0; s < want.size() / kSector; ++s) {
    const std::string_view g(got.data() + s * kSector, kSector), w(want.data() + s * kSector, kSector);
    if (bad.count(s)) {
      EXPECT_EQ(g.find_first_not_of('\0'), std::string_view::npos) << "bad sector " << s;
    } else if (g != w) {
      ADD_FAILURE() << "sector " << s << " differs";
      return;
    }
  }
}
}  // namespace

TEST(ImageCommandTest, CopiesAFaultyDiskAndMapsItsBadSectors) {
  const CScratch scratch;
  const fs::path& dir = scratch.path;
  const std::string source = FixturePath("fat16.img");  // 16 MiB, 32768 sectors
  std::set<uint64_t> bad;
  std::string rules = "log " + (dir / "reads.log").string() + "\n";
  for (auto [first, count] : {std::pair<uint64_t, uint64_t>{20000, 200}, {30001, 7}, {32767, 1}}) {
    rules += "bad " + std::to_string(first) + " " + std::to_string(count) + "\n";
    for (uint64_t s = first; s < first + count; ++s) bad.insert(s);
  }
  rules += "flaky 10000 3 2\n";  // good on the third read
  rules += "slow 12000 8 200\n";
  CFaultyMount mount(source, rules, dir);

  const std::string image = (dir / "copy.img").string(), map = (dir / "copy.map").string();
  std::string out, err;
  const std::string report = (dir / "report.jsonl").string();
  EXPECT_EQ(RunCommand(Cli("image " + ShellQuote(mount.File()) + " " + ShellQuote(image) + " --map " + ShellQuote(map) +
                           " --report " + ShellQuote(report)),
                       &out, &err),
            1)
      << err;
  EXPECT_NE(err.find("in 3 bad area(s)"), std::string::npos) << err;
  {
    // The report: the image with the byte ranges of the bad sectors and its digest, then the
    // totals.
    std::istringstream lines(ReadAll(report));
    std::string first, last;
    ASSERT_TRUE(std::getline(lines, first) && std::getline(lines, last));
    const auto item = nlohmann::json::parse(first), totals = nlohmann::json::parse(last);
    EXPECT_EQ(item["type"], "image");
    EXPECT_EQ(item["result"], "incomplete");
    EXPECT_EQ(item["sha256"], Sha256OfFile(image));
    EXPECT_EQ(item["source_size"], 16u << 20);
    std::set<uint64_t> unreadable;
    for (const auto& r : item["unreadable"])
      for (uint64_t o = r[0]; o < uint64_t(r[0]) + uint64_t(r[1]); o += kSector) unreadable.insert(o / kSector);
    EXPECT_EQ(unreadable, bad);
    EXPECT_EQ(totals["type"], "totals");
    EXPECT_EQ(totals["bytes_bad"], bad.size() * kSector);
    EXPECT_EQ(totals["complete"], false);
  }
  EXPECT_NE(err.find("--retries"), std::string::npos) << err;
  ExpectImage(image, source, bad);
  // Unread sectors are holes, not written zeros.
  struct stat st {};
  ASSERT_EQ(::stat(image.c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), 16u << 20);
  EXPECT_LT(uint64_t(st.st_blocks) * 512, 16u << 20);

  // GNU ddrescue's own tool reads the map and finds exactly the bad sectors.
  ASSERT_EQ(RunCommand("ddrescuelog --list-blocks=- " + ShellQuote(map), &out, &err), 0) << err;
  std::set<uint64_t> listed;
  std::istringstream words(out);
  for (uint64_t s; words >> s;) listed.insert(s);
  EXPECT_EQ(listed, bad);
  ASSERT_EQ(RunCommand("ddrescuelog --list-blocks=?*/ " + ShellQuote(map), &out, &err), 0) << err;
  EXPECT_EQ(out, "");

  // No bad sector was asked for more than five times, no good one read twice over.
  std::map<uint64_t, int> readsOf;
  for (const auto& r : ReadLog(dir / "reads.log"))
    for (uint64_t s = r.nOffset / kSector; s < (r.nOffset + r.nLength) / kSector; ++s) ++readsOf[s];
  for (uint64_t s : bad) EXPECT_LE(readsOf[s], 5) << s;

  // The copy opens as a disk: its FAT volume lists.
  ASSERT_EQ(RunCommand(Cli("list " + ShellQuote(image) + " --all"), &out, &err), 0) << err;
  EXPECT_NE(out.find("README.TXT"), std::string::npos) << out;

  // The same command again never overwrites an image without its map.
  ASSERT_EQ(RunCommand(Cli("image " + ShellQuote(mount.File()) + " " + ShellQuote(image)), &out, &err), 2);
  EXPECT_NE(err.find("exists already"), std::string::npos) << err;
}

TEST(ImageCommandTest, AnUnpluggedDiskEndsTheCopyWhichContinuesLater) {
  const CScratch scratch;
  const fs::path& dir = scratch.path;
  const std::string source = FixturePath("fat16.img");
  const std::string image = (dir / "copy.img").string(), map = (dir / "copy.map").string();
  std::string out, err;
  {
    // Pulled out at sector 16000; the bridge answers EIO from then on.
    CFaultyMount mount(source, "disconnect_at_sector 16000\ndisconnect_errno EIO\nbad 5000 2\n", dir / "first");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunCommand(Cli("image " + ShellQuote(mount.File()) + " " + ShellQuote(image) + " --map " +
                             ShellQuote(map)),
                         &out, &err),
              1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_NE(err.find("stopped answering"), std::string::npos) << err;
    EXPECT_NE(err.find("--map"), std::string::npos) << err;
  }
  CRescueMap first;
  std::string error;
  ASSERT_TRUE(first.Load(map, 16u << 20, &error)) << error;
  EXPECT_GT(first.Count('+'), 10000 * kSector);
  EXPECT_EQ(first.Count('+', 16000 * kSector), 0u);
  EXPECT_EQ(first.Count('-'), 0u) << "sectors the unplugging failed are not bad";

  // Plugged in again: the copy continues from the map and reads nothing it had copied.
  {
    CFaultyMount mount(source, "log " + (dir / "reads.log").string() + "\nbad 5000 2\n", dir / "second");
    EXPECT_EQ(RunCommand(Cli("image " + ShellQuote(mount.File()) + " " + ShellQuote(image) + " --map " +
                             ShellQuote(map) + " --retries 0"),
                         &out, &err),
              1)
        << err;
    EXPECT_NE(err.find("Continuing"), std::string::npos) << err;
  }
  for (const auto& r : ReadLog(dir / "reads.log"))
    EXPECT_NE(first.StatusAt(r.nOffset), '+') << "read again at " << r.nOffset;
  ExpectImage(image, source, {5000, 5001});
}

TEST(ImageCommandTest, CtrlCStopsWithTheMapWritten) {
  const CScratch scratch;
  const fs::path& dir = scratch.path;
  const std::string source = FixturePath("fat16.img");
  CFaultyMount mount(source, "slow 0 32768 40\n", dir);  // every read takes 40 ms
  const std::string image = (dir / "copy.img").string(), map = (dir / "copy.map").string();
  std::string out, err;
  const int rc = RunCommand("( " + Cli("image " + ShellQuote(mount.File()) + " " + ShellQuote(image)) +
                                " & pid=$!; sleep 1; kill -INT $pid; wait $pid )",
                            &out, &err);
  EXPECT_EQ(rc, 1) << err;
  EXPECT_NE(err.find("stopped; to continue"), std::string::npos) << err;
  CRescueMap m;
  std::string error;
  ASSERT_TRUE(m.Load(image + ".map", 16u << 20, &error)) << error;  // DEST.map without --map
  EXPECT_EQ(m.m_cCurrentStatus, '?');
  EXPECT_GT(m.Count('+'), 0u);
  EXPECT_GT(m.Count('?'), 0u);
}

TEST(ImageCommandTest, ContinuesACopyThatGnuDdrescueBegan) {
  const CScratch scratch;
  const fs::path& dir = scratch.path;
  const std::string source = FixturePath("fat16.img");
  CFaultyMount mount(source, "log " + (dir / "reads.log").string() + "\nbad 9000 16\n", dir);
  const std::string image = (dir / "copy.img").string(), map = (dir / "copy.map").string();
  std::string out, err;
  // ddrescue copies the first 6 MiB (with its bad sectors), then we do the rest.
  ASSERT_EQ(RunCommand("ddrescue -q -s 6291456 " + ShellQuote(mount.File()) + " " + ShellQuote(image) + " " +
                           ShellQuote(map),
                       &out, &err),
            0)
      << err;
  fs::remove(dir / "reads.log");
  CRescueMap before;
  std::string error;
  ASSERT_TRUE(before.Load(map, 16u << 20, &error)) << error;
  ASSERT_EQ(before.Count('+', 0, 6u << 20), (6u << 20) - 16 * kSector);
  EXPECT_EQ(RunCommand(Cli("image " + ShellQuote(mount.File()) + " " + ShellQuote(image) + " --map " +
                           ShellQuote(map) + " --retries 0"),
                       &out, &err),
            1)
      << err;
  for (const auto& r : ReadLog(dir / "reads.log"))
    EXPECT_NE(before.StatusAt(r.nOffset), '+') << "read again at " << r.nOffset;
  std::set<uint64_t> bad;
  for (uint64_t s = 9000; s < 9016; ++s) bad.insert(s);
  ExpectImage(image, source, bad);
  // ...and ddrescue reads our map back: nothing left but the bad sectors.
  ASSERT_EQ(RunCommand("ddrescuelog -t " + ShellQuote(map), &out, &err), 0) << err;
  EXPECT_NE(out.find("bad-sector:     8192 B,  in      1 area(s)"), std::string::npos) << out;
  EXPECT_NE(out.find("non-tried:        0 B"), std::string::npos) << out;
}

// The other commands over the same faulty file: recover writes a file with bad sectors
// whole and names the byte ranges; an unplugged disk ends the run with one message.
TEST(ImageCommandTest, RecoverOverAFaultyDiskNamesTheUnreadableRanges) {
  const CScratch scratch;
  const fs::path& dir = scratch.path;
  const std::string source = FixturePath("fat16.img");
  std::string out, err;
  // Where "Many clusters.bin" lies: its first cluster from list --json, 2 KiB clusters
  // from sector 168 on (fat16.img: 4 reserved, 2 FATs of 32 sectors, 32 root sectors, then
  // cluster 2... measured from the image rather than assumed).
  ASSERT_EQ(RunCommand(Cli("list " + ShellQuote(source) + " --all --json"), &out, &err), 0) << err;
  const auto at = out.find("\"name\":\"Many clusters.bin\"");
  ASSERT_NE(at, std::string::npos);
  const auto line = out.substr(out.rfind('\n', at) + 1, out.find('\n', at) - out.rfind('\n', at) - 1);
  const auto fc = line.find("\"first_cluster\":");
  ASSERT_NE(fc, std::string::npos) << line;
  const uint64_t cluster = std::stoull(line.substr(fc + 16));
  // The data area of fat16.img: read from its boot sector.
  const std::string boot = ReadAll(source).substr(0, 512);
  auto le16 = [&](size_t o) { return uint64_t(uint8_t(boot[o])) | uint64_t(uint8_t(boot[o + 1])) << 8; };
  const uint64_t dataStart = le16(14) + uint64_t(uint8_t(boot[16])) * le16(22) + le16(17) * 32 / 512;
  const uint64_t first = dataStart + (cluster - 2) * uint8_t(boot[13]);
  {
    // Past the first 256 KiB, which the volume probe (libblkid) reads in one go and gives
    // up on when that read fails.
    ASSERT_GE((first + 280) * kSector, 256u << 10);
    CFaultyMount mount(source, "bad " + std::to_string(first + 280) + " 3\n", dir / "bad");
    const std::string to = (dir / "out").string();
    fs::create_directories(to);
    const std::string report = (dir / "recover.jsonl").string();
    EXPECT_EQ(RunCommand(Cli("recover " + ShellQuote(mount.File()) + " '/Many clusters.bin' --all --to " +
                             ShellQuote(to) + " --report " + ShellQuote(report)),
                         &out, &err),
              1);
    EXPECT_NE(err.find("Many clusters.bin: 1536 byte(s) could not be read from the source (bytes 143360-144895); "
                       "written as zeros there"),
              std::string::npos)
        << err;
    EXPECT_EQ(fs::file_size(fs::path(to) / "Many clusters.bin"), 150000u);
    // The report names the same ranges, and its digest is of the file as written.
    std::istringstream lines(ReadAll(report));
    std::string line1;
    ASSERT_TRUE(std::getline(lines, line1));
    const auto item = nlohmann::json::parse(line1);
    EXPECT_EQ(item["result"], "incomplete");
    EXPECT_EQ(item["unreadable"], nlohmann::json::parse("[[143360,1536]]"));
    EXPECT_EQ(item["sha256"], Sha256OfFile((fs::path(to) / "Many clusters.bin").string()));
    EXPECT_EQ(item["first_unit"], cluster);
    EXPECT_EQ(item["offset_bytes"], first * kSector);
  }
  {
    // Unplugged while the files are read (past what opening the volume reads): one
    // message, not one per file.
    CFaultyMount mount(source, "disconnect_at_sector " + std::to_string(first + 280) + "\ndisconnect_errno EIO\n",
                       dir / "gone");
    const std::string to = (dir / "out2").string();
    fs::create_directories(to);
    EXPECT_EQ(RunCommand(Cli("recover " + ShellQuote(mount.File()) + " / --all --to " + ShellQuote(to)), &out, &err),
              1);
    EXPECT_NE(err.find("stopped answering (unplugged?)"), std::string::npos) << err;
    size_t lines = 0;
    for (char c : err) lines += c == '\n';
    EXPECT_LE(lines, 4u) << err;
  }
}
