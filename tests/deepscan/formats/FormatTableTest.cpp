// The one table of extent rules: each type at most once, named as the catalogue names it, and
// found by the lookup the engine dispatches through.
#include "deepscan/formats/FormatTable.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "deepscan/FileTypes.h"

TEST(FormatTable, IdsAreUniqueNamedAsTheCatalogueAndFoundByTheLookup) {
  size_t count = 0;
  const FormatRule* rules = FormatRules(count);
  ASSERT_GT(count, 0u);
  std::set<FileTypeId> seen;
  for (size_t i = 0; i < count; ++i) {
    const FormatRule& r = rules[i];
    EXPECT_TRUE(seen.insert(r.nType).second) << "type " << r.nType << " has two rules";
    ASSERT_LE(r.nType, kLastFileType);
    const auto name = FileTypeName(r.nType);
    ASSERT_TRUE(name) << r.nType;
    std::u16string extension(r.szExtension);
    EXPECT_EQ(std::string(extension.begin(), extension.end()), std::string(*name)) << r.nType;
    EXPECT_NE(r.pRule, nullptr);
    EXPECT_EQ(FindFormatRule(r.nType), &r);
  }
  // The one type the signature stage recognises without a rule to measure it.
  EXPECT_EQ(FindFormatRule(FT_CDR), nullptr);
}
