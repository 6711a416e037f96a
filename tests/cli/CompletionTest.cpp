// The bash completion shipped with the package offers every type name the deep scan knows.
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "deepscan/FileTypes.h"

TEST(Completion, OffersEveryDeepScanType) {
  std::ifstream in(std::string(QUARROW_SOURCE_DIR) + "/packaging/quarrow-cli.bash-completion");
  ASSERT_TRUE(in);
  std::stringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  const size_t at = all.find("local types=\"");
  ASSERT_NE(at, std::string::npos);
  std::istringstream words(all.substr(at + 13, all.find('"', at + 13) - at - 13));
  std::vector<std::string> offered;
  for (std::string w; words >> w;) offered.push_back(w);
  for (const auto& f : ScanFlags())
    EXPECT_NE(std::find(offered.begin(), offered.end(), f.szName), offered.end()) << f.szName << " is not offered";
}
