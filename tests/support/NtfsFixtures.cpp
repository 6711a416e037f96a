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

nlohmann::json ReadManifest(const fs::path& dir) {
  std::ifstream in(dir / kManifest);
  if (!in) throw std::runtime_error("cannot open " + (dir / kManifest).string());
  return nlohmann::json::parse(in);
}

std::string BuildNtfsFixtures() {
  return BuildFixtureSet(kScript, kManifest,
                         FixtureOutputDir("QUARROW_NTFS_FIXTURE_OUT", "ntfs-fixture-images", "quarrow-ntfs-fixtures-"));
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
