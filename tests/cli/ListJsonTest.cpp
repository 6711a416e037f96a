// list --json gives scripts fields that do not depend on the language or the time zone.
#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/Fixtures.h"
#include "support/NtfsFixtures.h"

namespace {
std::vector<nlohmann::json> List(const std::string& image, const std::string& tz) {
  std::string out, err;
  EXPECT_EQ(RunCommand("TZ=" + tz + " " + std::string(QUARROW_CLI_PATH) + " list " + ShellQuote(image) +
                           " --recursive --all --json",
                       &out, &err),
            0)
      << err;
  std::vector<nlohmann::json> items;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) items.push_back(nlohmann::json::parse(line));
  return items;
}

int64_t ParseUtc(const std::string& iso) {
  std::tm tm{};
  std::istringstream in(iso);
  in >> std::get_time(&tm, "%Y-%m-%dT%H:%M:%SZ");
  EXPECT_FALSE(in.fail()) << iso;
  return int64_t(::timegm(&tm));
}
}  // namespace

TEST(ListJson, StatusCodesAndUtcTimes) {
  // FAT keeps local wall-clock times (read in the process's zone); NTFS keeps UTC, whatever
  // the zone shows.
  struct Case {
    std::string image;
    bool utcOnDisk;
  } cases[] = {{FixturePath("fat16.img"), false}, {NtfsFixturePath("ntfs-4k.img"), true}};
  for (const auto& [image, utcOnDisk] : cases) {
    const auto utc = List(image, "UTC"), tokyo = List(image, "Asia/Tokyo");
    ASSERT_EQ(utc.size(), tokyo.size());
    ASSERT_FALSE(utc.empty());
    size_t timed = 0;
    for (size_t i = 0; i < utc.size(); ++i) {
      const auto& j = utc[i];
      std::string lower = j["status"];
      for (auto& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
      EXPECT_EQ(j["status_code"], lower) << j["path"];
      for (const char* key : {"created", "modified", "accessed"}) {
        const auto& iso = j[std::string(key) + "_utc"];
        const auto& epoch = j[std::string(key) + "_epoch"];
        EXPECT_EQ(iso.is_null(), epoch.is_null()) << j["path"] << " " << key;
        if (iso.is_null()) continue;
        ++timed;
        EXPECT_EQ(ParseUtc(iso), epoch.get<int64_t>()) << j["path"] << " " << key;
        // Shown in UTC, the display text is the same instant.
        std::string shown = j[key], isoText = iso;
        if (shown.size() == 10) isoText = isoText.substr(0, 10);  // a date alone
        for (auto& c : isoText)
          if (c == '-') c = '/';
        if (shown.size() > 10) isoText = isoText.substr(0, 10) + " " + isoText.substr(11, 8);
        EXPECT_EQ(shown, isoText) << j["path"] << " " << key;
        // Folders the program makes are stamped when made: two runs may be a second apart.
        const std::string path = j["path"];
        const bool made = path == "LostFiles" || path == "DeletedFiles" ||
                          (path.starts_with("DeletedFiles/dir_") && j["dir"].get<bool>());
        if (utcOnDisk && !made) EXPECT_EQ(tokyo[i][std::string(key) + "_utc"], iso) << path << " " << key;
      }
    }
    EXPECT_GT(timed, utc.size()) << image;
  }
}
