#include "support/ExFatFixtures.h"

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

constexpr const char* kScript = "make_exfat_images.sh";
constexpr const char* kManifest = "exfat-manifest.json";

nlohmann::json ReadManifest(const fs::path& dir) {
  std::ifstream in(dir / kManifest);
  if (!in) throw std::runtime_error("cannot open " + (dir / kManifest).string());
  return nlohmann::json::parse(in);
}

std::string BuildExFatFixtures() {
  return BuildFixtureSet(kScript, kManifest,
                         FixtureOutputDir("QUARROW_EXFAT_FIXTURE_OUT", "exfat-fixture-images", "quarrow-exfat-fixtures-"));
}

}  // namespace

const std::string& ExFatFixtureDir() {
  // A throwing initialiser leaves the static unset, so a later call tries again.
  static const std::string s_strDir = BuildExFatFixtures();
  return s_strDir;
}

std::string ExFatFixturePath(const std::string& name) { return ExFatFixtureDir() + "/" + name; }

const nlohmann::json& ExFatManifestImage(const std::string& name) {
  static const nlohmann::json s_manifest = ReadManifest(ExFatFixtureDir());
  for (const auto& image : s_manifest.at("images"))
    if (image.at("name") == name) return image;
  throw std::runtime_error(std::string(kManifest) + " lists no image " + name);
}
