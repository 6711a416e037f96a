// Disks read out of containers made by the real tools (tests/fixtures/make_container_images.sh):
// every byte equals the raw disk's, every command answers as on the raw disk, and broken
// containers are refused with a reason instead of being read as raw bytes.
#include <cstring>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/EwfImage.h"
#include "platform/Qcow2Image.h"
#include "platform/RawDevice.h"
#include "support/Fixtures.h"

namespace {

const std::string& ContainerDir() {
  static const std::string dir = BuildFixtureSet(
      "make_container_images.sh", "manifest.json",
      FixtureOutputDir("QUARROW_CONTAINER_OUT", "container-images", "quarrow-containers-"));
  return dir;
}
std::string ContainerPath(const std::string& name) { return ContainerDir() + "/" + name; }

std::string DeviceSha256(CRawDevice& device) {
  CSha256 sha;
  std::vector<uint8_t> chunk(1 << 20);
  for (uint64_t at = 0; at < device.Size(); at += chunk.size()) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), device.Size() - at));
    if (!device.Read(at, chunk.data(), n)) return "read failed at " + std::to_string(at);
    sha.Update(chunk.data(), n);
  }
  return sha.FinalHex();
}

std::string Cli(const std::string& args) { return std::string(QUARROW_CLI_PATH) + " " + args; }

struct Good {
  const char* file;
  const char* kind;
};
const Good kGood[] = {
    {"ewf.E01", "EWF"},          {"ewfseg.E01", "EWF"},        {"disk.qcow2", "QCOW2"},
    {"packed.qcow2", "QCOW2"},   {"overlay.qcow2", "QCOW2"},   {"dynamic.vhd", "VHD"},
    {"fixed.vhd", "VHD"},        {"disk.vhdx", "VHDX"},        {"sparse.vmdk", "VMDK"},
    {"stream.vmdk", "VMDK"},     {"flat.vmdk", "VMDK"},        {"split.raw.001", "split raw"},
    {"lettered.raw.aa", "split raw"},
};

}  // namespace

TEST(ImageContainers, EveryContainerReadsAsTheRawDiskByteForByte) {
  auto raw = CRawDevice::OpenPath(ContainerPath("disk.img"), nullptr);
  ASSERT_TRUE(raw);
  ASSERT_EQ(raw->ContainerName(), nullptr);
  const std::string want = DeviceSha256(*raw);
  std::mt19937_64 rng(7);
  for (const Good& g : kGood) {
    SCOPED_TRACE(g.file);
    std::string error;
    auto disk = CRawDevice::OpenPath(ContainerPath(g.file), &error);
    ASSERT_TRUE(disk) << error;
    ASSERT_NE(disk->ContainerName(), nullptr);
    EXPECT_STREQ(disk->ContainerName(), g.kind);
    ASSERT_EQ(disk->Size(), raw->Size());
    EXPECT_EQ(DeviceSha256(*disk), want);
    // QCOW2 and E01 are read by our own readers, not the libraries.
    std::shared_ptr<CRawDevice> ours;
    if (std::strcmp(g.kind, "QCOW2") == 0) {
      EXPECT_EQ(qcow2::OpenImage(ContainerPath(g.file), &ours, &error), qcow2::Opening::Opened) << error;
    } else if (std::strcmp(g.kind, "EWF") == 0) {
      EXPECT_EQ(ewf::OpenImage(ContainerPath(g.file), &ours, &error), ewf::Opening::Opened) << error;
    }
    // Scattered reads of odd sizes, some across the split parts' 30 MiB seams; and none
    // past the end.
    std::vector<uint8_t> a(200000), b(200000);
    for (int i = 0; i < 40; ++i) {
      uint64_t len = 1 + rng() % a.size();
      uint64_t at = i < 4 ? (30ull << 20) * (1 + i % 2) - len / 2 : rng() % (disk->Size() - len);
      ASSERT_TRUE(disk->Read(at, a.data(), len)) << at;
      ASSERT_TRUE(raw->Read(at, b.data(), len));
      ASSERT_EQ(std::memcmp(a.data(), b.data(), len), 0) << at << " " << len;
    }
    EXPECT_FALSE(disk->Read(disk->Size() - 100, a.data(), 200));
  }
}

TEST(ImageContainers, BrokenContainersAreRefusedWithTheReasonNeverReadAsRaw) {
  const struct {
    const char* file;
    const char* reason;
  } cases[] = {
      {"bad-header.qcow2", "the QCOW image is damaged: its header gives format version 99, not 1, 2 or 3"},
      {"truncated.qcow2", "the QCOW2 image is damaged: data of the disk at byte"},
      {"truncated.vhd", "the VHD image cannot be opened: unable to read file footer"},
      {"missing.E01", "the EWF image is incomplete: a segment file is missing"},
      {"noparent.qcow2", "needs its backing file \"gone.qcow2\", which is not there"},
      {"badsplit.raw.001", "part 2 of the split image (" },
      {"split.raw.002", "a later part of a split image; open its first part, "},
      {"lettered.raw.ac", "a later part of a split image; open its first part, "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::string error;
    EXPECT_FALSE(CRawDevice::OpenPath(ContainerPath(c.file), &error));
    EXPECT_EQ(error.rfind(ContainerPath(c.file) + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  // The CLI says so and stops; the GUI's Open Disk Image shows the same text.
  std::string out, err;
  EXPECT_EQ(RunCommand(Cli("list " + ShellQuote(ContainerPath("truncated.qcow2")) + " --partition 4"), &out, &err), 2);
  EXPECT_NE(err.find("truncated"), std::string::npos) << err;
}

TEST(ImageContainers, CommandsAnswerAsOnTheRawDisk) {
  const std::string raw = ContainerPath("disk.img");
  // Paths in the output name the image given; everything else must match.
  auto run = [](const std::string& args, const std::string& image) {
    std::string out, err;
    int status = RunCommand(Cli(args), &out, &err);
    for (size_t at; (at = out.find(image)) != std::string::npos;) out.replace(at, image.size(), "IMAGE");
    // Folders the program makes (the results folder, the groups of deleted files whose folder
    // is gone) carry the time of the listing.
    std::string text = std::to_string(status) + "\n";
    std::istringstream lines(out);
    static const std::regex made("LostFiles|DeletedFiles|dir_[0-9]+");
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("{")) {
        auto item = nlohmann::json::parse(line);
        if (item.value("dir", false) && std::regex_match(item.value("name", ""), made))
          for (const char* t : {"created", "modified", "accessed"})
            for (const char* suffix : {"", "_utc", "_epoch"}) item.erase(std::string(t) + suffix);
        line = item.dump();
      }
      text += line + "\n";
    }
    return text;
  };
  for (const char* file : {"ewfseg.E01", "disk.qcow2", "packed.qcow2", "overlay.qcow2", "disk.vhdx", "stream.vmdk",
                           "split.raw.001"}) {
    SCOPED_TRACE(file);
    const std::string image = ContainerPath(file);
    for (const std::string& args : {
             std::string("devices --no-system --json --image "),
             std::string("findlost --json "),
         }) {
      std::string want = run(args + ShellQuote(raw), raw);
      std::string got = run(args + ShellQuote(image), image);
      // The disk's product text is the image's file name.
      want = std::regex_replace(want, std::regex("\"disk.img\""), "\"NAME\"");
      got = std::regex_replace(got, std::regex("\"" + std::string(file) + "\""), "\"NAME\"");
      EXPECT_EQ(got, want) << args;
    }
    for (int part = 1; part <= 4; ++part) {
      std::string args = " --partition " + std::to_string(part) + " --recursive --all --json";
      std::string got = run("list " + ShellQuote(image) + args, image);
      EXPECT_TRUE(got == run("list " + ShellQuote(raw) + args, raw)) << part << "\n" << got.substr(0, 2000);
    }
    std::string deep = " --disk --types all --json";
    std::string got = run("deepscan " + ShellQuote(image) + deep, image);
    EXPECT_TRUE(got == run("deepscan " + ShellQuote(raw) + deep, raw)) << got.substr(0, 2000);
  }
}

TEST(ImageContainers, RecoveringFromAQcow2WritesTheRawDisksFiles) {
  // (The imager copies a container file as it is, not its disk: nothing to compare there.)
  const std::string raw = ContainerPath("disk.img");
  const std::string dir = RemovedAtExit(ContainerDir() + "/out-" + std::to_string(::getpid()));
  ASSERT_EQ(RunCommand("rm -rf " + ShellQuote(dir) + " && mkdir " + ShellQuote(dir), nullptr, nullptr), 0);
  // The exit status, then every file the recovery wrote with its SHA-256, by its path below the
  // volume's folder (whose name carries the image's).
  auto recover = [&](const std::string& image, int part) {
    const std::string to = dir + "/to";
    std::string out, err, files;
    RunCommand("rm -rf " + ShellQuote(to) + " && mkdir " + ShellQuote(to), nullptr, nullptr);
    int status = RunCommand(Cli("recover " + ShellQuote(image) + " / --all --partition " + std::to_string(part) +
                                " --to " + ShellQuote(to)),
                            &out, &err);
    RunCommand("cd " + ShellQuote(to) + " && find . -type f -exec sha256sum {} + | sed 's|  \\./[^/]*/|  |' | sort",
               &files, nullptr);
    return std::to_string(status) + "\n" + files;
  };
  for (int part = 1; part <= 4; ++part) {
    SCOPED_TRACE(part);
    const std::string want = recover(raw, part);
    EXPECT_GT(want.size(), 100u);
    for (const char* file : {"packed.qcow2", "overlay.qcow2"}) {
      EXPECT_EQ(recover(ContainerPath(file), part), want) << file;
    }
  }
}
