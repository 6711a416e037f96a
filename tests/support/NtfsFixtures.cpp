#include "support/NtfsFixtures.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "support/Fixtures.h"

#ifndef QUARROW_FIXTURE_DIR
#error QUARROW_FIXTURE_DIR must name the tests/fixtures source folder
#endif

namespace fs = std::filesystem;

namespace {

constexpr const char* kScript = "make_ntfs_images.sh";
constexpr const char* kManifest = "ntfs-manifest.json";

fs::path ChooseOutputDir() {
  return FixtureOutputDir("QUARROW_NTFS_FIXTURE_OUT", "ntfs-fixture-images", "quarrow-ntfs-fixtures-");
}

nlohmann::json ReadManifest(const fs::path& dir) {
  std::ifstream in(dir / kManifest);
  if (!in) throw std::runtime_error("cannot open " + (dir / kManifest).string());
  return nlohmann::json::parse(in);
}

// A set is current when the manifest is not older than the script and every image it lists
// is there with its recorded size.
bool IsCurrent(const fs::path& dir, const fs::path& script) {
  std::error_code ec;
  auto manifestTime = fs::last_write_time(dir / kManifest, ec);
  if (ec) return false;
  auto scriptTime = fs::last_write_time(script, ec);
  if (ec || scriptTime > manifestTime) return false;
  try {
    nlohmann::json json = ReadManifest(dir);
    const auto& images = json.at("images");
    if (images.empty()) return false;
    for (const auto& image : images) {
      uintmax_t nSize = fs::file_size(dir / image.at("name").get<std::string>(), ec);
      if (ec || nSize != image.at("size").get<uintmax_t>()) return false;
    }
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

std::string BuildNtfsFixtures() {
  fs::path script = fs::path(QUARROW_FIXTURE_DIR) / kScript;
  if (!fs::exists(script)) throw std::runtime_error("fixture script missing: " + script.string());
  fs::path dir = ChooseOutputDir();

  CFileLock lock(dir / ".lock");
  if (!IsCurrent(dir, script)) {
    std::string strOut, strErr;
    int nStatus =
        RunCommand("bash " + ShellQuote(script.string()) + " " + ShellQuote(dir.string()), &strOut, &strErr);
    if (nStatus != 0) {
      throw std::runtime_error("fixture script " + script.string() + " failed with status " +
                               std::to_string(nStatus) + ":\n" + strOut + strErr);
    }
    if (!IsCurrent(dir, script)) {
      throw std::runtime_error("fixture script " + script.string() + " finished but left no complete set in " +
                               dir.string());
    }
  }
  return dir.string();
}

}  // namespace

const std::string& NtfsFixtureDir() {
  // A throwing initialiser leaves the static unset, so a later call tries again.
  static const std::string s_strDir = BuildNtfsFixtures();
  return s_strDir;
}

std::string NtfsFixturePath(const std::string& name) { return NtfsFixtureDir() + "/" + name; }

const nlohmann::json& NtfsManifestImage(const std::string& name) {
  static const nlohmann::json s_manifest = ReadManifest(NtfsFixtureDir());
  for (const auto& image : s_manifest.at("images"))
    if (image.at("name") == name) return image;
  throw std::runtime_error(std::string(kManifest) + " lists no image " + name);
}
