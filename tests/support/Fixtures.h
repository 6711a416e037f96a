// Helpers shared by the test suites: the tool-made fixture images, SHA-256 (libcrypto), and running
// shell commands.
//
// The images come from tests/fixtures/make_fs_images.sh; tests/fixtures/README.md says what
// each one holds, and manifest.json beside them lists volumes, offsets and every file written
// with its size and SHA-256.
#pragma once

#include "platform/Sha256.h"

#include <cstddef>
#include <cstdint>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>

// The folder holding the fixture images and manifest.json. The first call in a process builds
// them unless an up-to-date set is already there (manifest.json present, not older than the
// script, every image it lists present with its recorded size). Building is serialised with a
// file lock, so test processes started in parallel build the set once and all wait for it.
//
// The folder is $QUARROW_FIXTURE_OUT when set, otherwise fixture-images beside the test
// binary, or quarrow-fixtures-<uid> under $TMPDIR (or /tmp) when that is not writable.
// Throws std::runtime_error, carrying the script's output, when the images cannot be made;
// a test that calls it then fails with that message.
const std::string& FixtureDir();

// FixtureDir() + "/" + name.
std::string FixturePath(const std::string& name);


// Lower-case hex SHA-256 of the bytes.
std::string Sha256Hex(std::string_view data);

// Lower-case hex SHA-256 of a file's contents. Throws std::runtime_error when the file cannot
// be opened or read, so comparing the digests of a missing file never passes.
std::string Sha256OfFile(const std::string& path);

// Runs `cmd` with /bin/sh -c, stdin from /dev/null, and waits for it. Its stdout and stderr go
// to *out and *err (replaced, not appended; either may be null to discard that stream).
// Answers the exit status, 128 + the signal number when the command was killed by a signal,
// or -1 when it could not be started.
int RunCommand(const std::string& cmd, std::string* out, std::string* err);

// Writes at byte offset of f a BMP of size bytes (at least 54) whose header is all a deep scan
// needs to find and measure it: "BM", its length, one plane, 24 bits; the pixels are 0x11.
void PutBmp(std::fstream& f, uint64_t offset, uint32_t size);

// Holds an exclusive flock on a file (created when missing) for its lifetime; serialises the
// building of a fixture set between test processes. Throws std::runtime_error on failure.
class CFileLock {
 public:
  explicit CFileLock(const std::string& path);
  ~CFileLock();
  CFileLock(const CFileLock&) = delete;
  CFileLock& operator=(const CFileLock&) = delete;

 private:
  int m_fd;
};

// Where a fixture set lives: $envVar when set, else besideBinary beside the test binary when
// writable, else <tmpPrefix><uid> under $TMPDIR (or /tmp); created when missing. Throws
// std::runtime_error when the folder cannot be made or written.
std::string FixtureOutputDir(const char* envVar, const std::string& besideBinary, const std::string& tmpPrefix);

// Makes a fixture set in out with the script tests/fixtures/<scriptName> unless a current
// set is there (manifestName not older than the script, every image it lists present with
// its recorded size); serialised between processes by a lock file. Answers out. Throws
// std::runtime_error, with the script's output, when the set cannot be made.
std::string BuildFixtureSet(const std::string& scriptName, const std::string& manifestName, const std::string& out);

// Polls condition every few milliseconds until it holds or the deadline passes; answers
// whether it held.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline);

// `text` quoted for a POSIX shell command line.
std::string ShellQuote(const std::string& text);

// Removes path (a file, or a folder with everything in it) when the test process ends, whether
// its test passed or failed; answers path.
const std::string& RemovedAtExit(const std::string& path);
