#include "app/LostVolumes.h"

#include <cstdio>

#include <gtest/gtest.h>
#include <unistd.h>

#include "app/Document.h"
#include "support/Fixtures.h"

// With an intact disk and a damaged copy of it open at once (an image made earlier beside
// the disk it came from), the damaged one's volumes are still found: a boot sector is known
// only where its volume lies, on the same disk.
TEST(LostVolumes, AVolumeIsKnownOnlyOnItsOwnDiskAndSector) {
  const std::string intact = FixturePath("disk.img");
  const std::string zeroed =
      std::string(::testing::TempDir()) + "quarrow-zeroed-copy-" + std::to_string(::getpid()) + ".img";
  ASSERT_EQ(RunCommand("cp " + ShellQuote(intact) + " " + ShellQuote(zeroed) + " && dd if=/dev/zero of=" +
                           ShellQuote(zeroed) + " bs=512 count=1 conv=notrunc status=none",
                       nullptr, nullptr),
            0);
  CKelvoDoc doc(false);
  ASSERT_TRUE(doc.AddDiskImage(intact, nullptr));
  ASSERT_TRUE(doc.AddDiskImage(zeroed, nullptr));
  doc.EnumerateVolumes();
  doc.EnumerateDisks();
  const size_t listed = doc.Volumes().size();
  ASSERT_EQ(listed, 4u);
  auto& damaged = *doc.Disks()[1];
  damaged.m_nFirstUnit = 0;
  damaged.m_nLastUnit = damaged.m_nClusterCount;
  ASSERT_TRUE(FindLostVolumes(damaged, doc, nullptr));
  ASSERT_EQ(doc.Volumes().size(), listed + 4);
  for (size_t i = listed; i < doc.Volumes().size(); ++i) EXPECT_EQ(doc.Volumes()[i]->m_hDevice, damaged.m_hDevice);
  // On the intact disk every one of them is known where it lies.
  auto& whole = *doc.Disks()[0];
  whole.m_nFirstUnit = 0;
  whole.m_nLastUnit = whole.m_nClusterCount;
  ASSERT_TRUE(FindLostVolumes(whole, doc, nullptr));
  EXPECT_EQ(doc.Volumes().size(), listed + 4);
  std::remove(zeroed.c_str());
}
