#include "platform/DataDirectory.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

// An installed tree (PREFIX/bin beside PREFIX/share/quarrow) gives its share folder; a build
// tree, or a "share/quarrow" that is not a folder, gives the program's own folder.
TEST(DataDirectory, InstalledTreeOrBesideTheProgram) {
  const fs::path root = fs::temp_directory_path() / ("quarrow-datadir-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "installed/bin");
  fs::create_directories(root / "installed/share/quarrow/Language");
  fs::create_directories(root / "build");
  fs::create_directories(root / "odd/bin");
  fs::create_directories(root / "odd/share");
  std::ofstream(root / "odd/share/quarrow") << "not a folder\n";

  EXPECT_EQ(datadir::DataDirectoryFor((root / "installed/bin").string()), (root / "installed/share/quarrow").string());
  EXPECT_EQ(datadir::DataDirectoryFor((root / "build").string()), (root / "build").string());
  EXPECT_EQ(datadir::DataDirectoryFor((root / "odd/bin").string()), (root / "odd/bin").string());
  fs::remove_all(root);
}

