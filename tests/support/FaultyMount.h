// Mounts tests/faultyfs over an image for one test: a real file, read through the kernel,
// whose reads fail by the rules given (see faultyfs.c for the rule lines). Unmounted with
// fusermount3 -u, and the file system's process reaped, when the object goes, also when
// the test failed.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/Fixtures.h"

class CFaultyMount {
 public:
  // Serves image as File() under a new mount point in dir, with the rules in config.
  CFaultyMount(const std::string& image, const std::string& rules, const std::filesystem::path& dir) {
    m_mount = dir / "mnt";
    std::filesystem::create_directories(m_mount);
    const std::string config = (dir / "faultyfs.conf").string();
    std::ofstream(config) << rules;
    const std::string log = (dir / "faultyfs.out").string();
    m_pid = ::fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
      std::freopen(log.c_str(), "w", stdout);
      std::freopen(log.c_str(), "a", stderr);
      ::execl(QUARROW_FAULTYFS_PATH, "faultyfs", image.c_str(), config.c_str(), m_mount.c_str(), (char*)nullptr);
      ::_exit(127);
    }
    const auto size = std::filesystem::file_size(image);
    const bool up = WaitUntil(
        [&] {
          struct stat st {};
          return ::stat(File().c_str(), &st) == 0 && uint64_t(st.st_size) == size;
        },
        std::chrono::seconds(10));
    if (!up) {
      Unmount();
      std::ifstream f(log);
      std::string out((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      throw std::runtime_error("faultyfs did not come up: " + out);
    }
  }
  ~CFaultyMount() { Unmount(); }
  CFaultyMount(const CFaultyMount&) = delete;
  CFaultyMount& operator=(const CFaultyMount&) = delete;

  std::string File() const { return (m_mount / "disk.img").string(); }

  void Unmount() {
    if (m_pid <= 0) return;
    for (int i = 0; i < 50; ++i) {
      if (RunCommand("fusermount3 -u " + ShellQuote(m_mount.string()), nullptr, nullptr) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    int status = 0;
    bool reaped = WaitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, std::chrono::seconds(5));
    if (!reaped) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, &status, 0);
      RunCommand("fusermount3 -uz " + ShellQuote(m_mount.string()), nullptr, nullptr);
    }
    m_pid = -1;
  }

 private:
  std::filesystem::path m_mount;
  pid_t m_pid = -1;
};
