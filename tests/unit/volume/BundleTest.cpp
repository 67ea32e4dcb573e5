#include "volume/core/Bundle.h"

#include "VolumeFileWriters.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(Bundle, FindsResourcesByNameAndExtensionIncludingSubfolders) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir(dir.path()).mkpath("CThead"));
    writeFile(dir.filePath("512x512x463-16U.raw"), {});
    writeFile(dir.filePath("CThead/CThead.7"), {});
    const Bundle bundle(dir.path());

    EXPECT_EQ(bundle.URLForResource("512x512x463-16U", "raw"), dir.filePath("512x512x463-16U.raw"));
    EXPECT_EQ(bundle.URLForResource("CThead/CThead", "7"), dir.filePath("CThead/CThead.7"));
    EXPECT_EQ(bundle.URLForResource("CThead/CThead", "8"), std::nullopt);
    EXPECT_EQ(bundle.URLForResource("512x512x463-16U", "RAW"), std::nullopt);
    // A folder is not a resource file.
    EXPECT_EQ(bundle.URLForResource("CThead", ""), std::nullopt);
    EXPECT_EQ(bundle.pathForResource("CThead/CThead", "8"), dir.filePath("CThead/CThead.8"));
}

} // namespace
