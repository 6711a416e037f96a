// Opening what the user may not read: the broker's descriptor is used (asked once per path,
// checked to be read-only and of the path's own file), refusals are kept and named with how
// to get access.
//
// Each case runs in a child process that cannot read the test's image: as nobody when the
// tests run as root, else with the image's mode 000. The parent opens the descriptors a
// broker hands out before that, as a service running with more rights would.
#include "platform/DeviceAccess.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/Enumerate.h"
#include "platform/RawDevice.h"
#include "support/Fixtures.h"

namespace {

// In the child: a failed check ends it with status 1 and says why on stderr.
void Require(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "%s\n", what.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

void DropPrivileges() {
  if (::geteuid() != 0) return;
  Require(::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 && ::setresuid(65534, 65534, 65534) == 0,
          "cannot become nobody");
}

class CTestBroker final : public devaccess::IAccessBroker {
 public:
  std::function<int(const std::string&)> give;  // the descriptor to hand out, or -1
  int nAsked = 0;
  int OpenReadOnly(const std::string& path, std::string* why) override {
    ++nAsked;
    const int fd = give ? give(path) : -1;
    if (fd < 0) *why = "The test's broker said no.";
    return fd;
  }
};

int Dup(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }

class DeviceAccess : public ::testing::Test {
 public:
  void SetUp() override {
    m_dir = std::filesystem::temp_directory_path() /
            ("quarrow-access-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(m_dir);
    std::filesystem::create_directories(m_dir);
    ::chmod(m_dir.c_str(), 0755);
    m_image = m_dir + "/disk.img";
    m_other = m_dir + "/other.img";
    std::string err;
    ASSERT_EQ(RunCommand("mkfs.fat -C -n ACCESS " + ShellQuote(m_image) + " 1024", nullptr, &err), 0) << err;
    ASSERT_EQ(RunCommand("mkfs.fat -C -n OTHER " + ShellQuote(m_other) + " 1024", nullptr, &err), 0) << err;
    m_fdImage = ::open(m_image.c_str(), O_RDONLY | O_CLOEXEC);
    m_fdWritable = ::open(m_image.c_str(), O_RDWR | O_CLOEXEC);
    m_fdOther = ::open(m_other.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_TRUE(m_fdImage >= 0 && m_fdWritable >= 0 && m_fdOther >= 0);
    m_sha = Sha256OfFile(m_image);
    ASSERT_EQ(::chmod(m_image.c_str(), 0), 0);
  }
  void TearDown() override {
    ::close(m_fdImage);
    ::close(m_fdWritable);
    ::close(m_fdOther);
    ::chmod(m_image.c_str(), 0600);
    EXPECT_EQ(Sha256OfFile(m_image), m_sha);
    std::filesystem::remove_all(m_dir);
  }

  std::string m_dir, m_image, m_other, m_sha;
  int m_fdImage = -1, m_fdWritable = -1, m_fdOther = -1;
};

}  // namespace

TEST_F(DeviceAccess, ReadsThroughTheBrokersDescriptorAskingOncePerPath) {
  auto child = [&] {
        DropPrivileges();
        Require(::open(m_image.c_str(), O_RDONLY) < 0 && errno == EACCES, "the image is readable: nothing to test");
        CTestBroker broker;
        broker.give = [&](const std::string& path) { return path == m_image ? Dup(m_fdImage) : -1; };
        devaccess::SetBroker(&broker);
        std::string error;
        auto first = CRawDevice::OpenPath(m_image, &error);
        Require(first != nullptr, "not opened: " + error);
        Require(first->Path() == m_image && first->Size() == 1024u * 1024, "another path or size");
        uint8_t boot[512];
        Require(first->Read(0, boot, sizeof boot) && boot[510] == 0x55 && boot[511] == 0xAA, "boot sector not read");
        auto second = CRawDevice::OpenPath(m_image, &error);
        first.reset();  // each handle closes only its own copy of the descriptor
        Require(second && second->Read(0, boot, sizeof boot) && boot[510] == 0x55, "second handle not read");
        std::string fs;
        std::u16string label;
        Require(enumerate::ProbeFileSystem(m_image, 0, 0, fs, label) && fs == "FAT12" && label == u"ACCESS",
                "libblkid did not probe through the descriptor: " + fs);
        Require(broker.nAsked == 1, "broker asked " + std::to_string(broker.nAsked) + " times");
        Require(devaccess::TakeDenials().empty(), "a denial was recorded");
        devaccess::SetBroker(nullptr);
        std::exit(0);};
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

TEST_F(DeviceAccess, UnfitDescriptorsAndRefusalsAreRefusedOnceWithTheMessage) {
  struct Case {
    const char* what;
    int DeviceAccess::*fd;  // what the broker hands out; null: it refuses
    const char* reason;
  };
  const Case cases[] = {
      {"refused", nullptr, "The test's broker said no."},
      {"writable", &DeviceAccess::m_fdWritable, "was not read-only"},
      {"another file", &DeviceAccess::m_fdOther, "for another file or device"},
  };
  for (const Case& c : cases) {
    auto child = [&] {
          DropPrivileges();
          CTestBroker broker;
          broker.give = [&](const std::string&) { return c.fd ? Dup(this->*c.fd) : -1; };
          devaccess::SetBroker(&broker);
          for (int attempt = 0; attempt < 2; ++attempt) {
            std::string error;
            Require(CRawDevice::OpenPath(m_image, &error) == nullptr, "opened");
            Require(error.rfind(m_image + ": permission denied.", 0) == 0, "message: " + error);
            Require(error.find("quarrow-cli with sudo") != std::string::npos, "no way to access: " + error);
            Require(error.find(c.reason) != std::string::npos, "no reason: " + error);
          }
          Require(broker.nAsked == 1, "broker asked " + std::to_string(broker.nAsked) + " times");
          const auto denials = devaccess::TakeDenials();
          Require(denials.size() == 1 && denials[0].strPath == m_image && !denials[0].bDisk, "denials not recorded once");
          devaccess::SetBroker(nullptr);
          std::exit(0);};
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "") << c.what;
  }
}

TEST_F(DeviceAccess, WithoutABrokerTheMessageNamesThePath) {
  auto child = [&] {
        DropPrivileges();
        std::string error;
        Require(CRawDevice::OpenPath(m_image, &error) == nullptr, "opened");
        Require(error == m_image + ": permission denied. Reading this file needs read access to it: ask its owner to "
                                   "grant it (chmod, chgrp), or run quarrow-cli with sudo.",
                "message: " + error);
        const std::string disks = devaccess::AccessDeniedText("/dev/sdb, /dev/sdb1", true);
        Require(disks.rfind("/dev/sdb, /dev/sdb1: permission denied.", 0) == 0 &&
                    disks.find("\"disk\" group (sudo usermod -aG disk $USER) and log in again") != std::string::npos,
                "disk message: " + disks);
        std::exit(0);};
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

TEST_F(DeviceAccess, AKeptAnswerIsDroppedWhenThePathNamesAnotherFile) {
  // Another disk plugged in under the same name: the descriptor kept for the old one must not
  // serve it. The child swaps files of its own (it may not write the test's folder).
  auto child = [&] {
        DropPrivileges();
        char dir[] = "/tmp/quarrow-swap-XXXXXX";
        Require(::mkdtemp(dir) != nullptr, "mkdtemp");
        const std::string a = std::string(dir) + "/a.img", b = std::string(dir) + "/b.img";
        for (const std::string* path : {&a, &b}) {
          const int fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
          Require(fd >= 0 && ::ftruncate(fd, 64 * 1024) == 0, "cannot make " + *path);
          ::close(fd);
        }
        const int fdA = ::open(a.c_str(), O_RDONLY | O_CLOEXEC);
        Require(fdA >= 0 && ::chmod(a.c_str(), 0) == 0 && ::chmod(b.c_str(), 0) == 0, "setup");
        CTestBroker broker;
        broker.give = [&](const std::string&) { return Dup(fdA); };  // always the first file
        devaccess::SetBroker(&broker);
        std::string error;
        Require(CRawDevice::OpenPath(a, &error) != nullptr, "not opened: " + error);
        Require(CRawDevice::OpenPath(a, &error) != nullptr && broker.nAsked == 1, "kept answer not used");
        Require(::rename(b.c_str(), a.c_str()) == 0, "rename");
        Require(CRawDevice::OpenPath(a, &error) == nullptr, "the old file's descriptor served the new one");
        Require(broker.nAsked == 2 && error.find("for another file or device") != std::string::npos,
                "not asked again: " + error);
        devaccess::SetBroker(nullptr);
        ::close(fdA);
        std::filesystem::remove_all(dir);
        std::exit(0);};
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}
