#include "HeadPhantom.h"
#include "RawFileWriter.h"
#include "SampleFiles.h"
#include "VolumeFileWriters.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>

namespace {

// The whole head on a coarse grid: cheap enough for every run, sanitizers included.
const SampleGrid kCoarse = gridOverLargeSample(64, 64, 58);

// The index of the voxel whose centre is nearest to a coordinate in mm from the centre of the grid.
std::size_t indexOf(float mm, std::size_t count, float spacing) {
    return static_cast<std::size_t>(mm / spacing + static_cast<float>(count) * 0.5f);
}

// Air around the head, bone in the skull's range, brain in the middle, and
// intermediate values where boundaries are blended; the same whatever the number of workers.
TEST(Generator, HeadHasCtValuesAndSmoothBoundariesWhateverTheNumberOfWorkers) {
    const std::vector<std::uint16_t> v = renderHeadVolume(kCoarse, 1);
    ASSERT_EQ(v.size(), kCoarse.samples());
    EXPECT_EQ(renderHeadVolume(kCoarse, 3), v);
    EXPECT_EQ(renderHeadVolume(kCoarse, 0), v);
    EXPECT_EQ(std::tuple(v.front(), v.back()), std::tuple(0, 0)); // the first and last corners
    // Deep in the left hemisphere, well away from the ventricles: brain.
    const std::size_t x = indexOf(-37.0f, 64, kCoarse.spacingX), y = indexOf(0.0f, 64, kCoarse.spacingY),
                      z = indexOf(36.0f, 58, kCoarse.spacingZ);
    EXPECT_NEAR(v[(z * 64 + y) * 64 + x], 1060, 12);

    // Bone: the highest sample lies in the skull's range.
    const std::uint16_t highest = *std::max_element(v.begin(), v.end());
    EXPECT_GE(highest, 1500);
    EXPECT_LE(highest, 2500);
    const auto count = [&](int lo, int hi) {
        return std::count_if(v.begin(), v.end(), [=](std::uint16_t s) { return s >= lo && s <= hi; });
    };
    EXPECT_GT(count(900, 960), 0) << "fat";
    EXPECT_GT(count(1020, 1040), 0) << "CSF and ventricles";
    EXPECT_GT(count(100, 800), 0) << "blended skin edge";
}

// Nothing appears under the final name before the commit, and no part file stays after it;
// a failed write names the file and leaves nothing behind. The byte orders are checked
// against each other in the build's resources below.
TEST(Generator, WritesUnderTheFinalNameOnlyOnCommitAndLeavesNothingWhenItFails) {
    QTemporaryDir dir;
    RawFileWriter file(dir.filePath("v.raw"), RawFileWriter::ByteOrder::Big);
    EXPECT_TRUE(file.write(std::vector<std::uint16_t>(60, 0x0102)));
    EXPECT_FALSE(QFile::exists(dir.filePath("v.raw")));
    ASSERT_EQ(file.commit(), std::nullopt);
    EXPECT_EQ(readFile(dir.filePath("v.raw")), QByteArray("\x01\x02", 2).repeated(60));
    const auto written = [&] { return QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot); };
    EXPECT_EQ(written(), QStringList{"v.raw"});

    const auto failure = writeHeadVolume(dir.filePath("no/such/folder/v.raw"), kCoarse);
    EXPECT_TRUE(failure.value_or("").contains("v.raw")) << qPrintable(failure.value_or("none"));
    EXPECT_EQ(written(), QStringList{"v.raw"});
}

// The build writes the resources of the viewer; the 512 head is checked by size only.
TEST(Generator, BuildWroteTheSampleResources) {
    const QDir resources(VOXVIEW_RESOURCES_DIR);
    EXPECT_EQ(QFileInfo(resources.filePath("512x512x463-16U.raw")).size(), 242'745'344);
    const QByteArray small = readFile(resources.filePath("256x256x113-16.raw"));
    ASSERT_EQ(small.size(), 14'811'136);
    // The 256 head is what the generator renders, little-endian as this host holds it.
    const std::vector<std::uint16_t> head = renderHeadVolume(kSmallSampleGrid);
    EXPECT_EQ(small, bytesOf(head));
    // Each CThead slice is the matching slice of the 256 head, big-endian.
    const QByteArray bigEndian = sampleBytes(std::vector<int>(head.begin(), head.end()), 2, ByteOrder::Big);
    for (int i = 1; i <= 113; ++i)
        EXPECT_EQ(readFile(resources.filePath("CThead/CThead.%1").arg(i)),
                  bigEndian.sliced((i - 1) * 131'072, 131'072))
            << "slice " << i;
}

} // namespace
