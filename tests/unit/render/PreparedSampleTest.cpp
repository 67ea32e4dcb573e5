#include "render/scene/PreparedSample.h"

#include "RendererTestBed.h"
#include "volume/core/ByteBuffer.h"
#include "volume/samples/SampleStatistics.h"

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <tuple>
#include <vector>

namespace {

auto statistics(const SampleStatistics::Summary& s) {
    return std::tuple(s.min, s.max, s.lowPercentile, s.highPercentile);
}

void expectSameContents(const PreparedSample::Contents& actual, const PreparedSample::Contents& expected) {
    ASSERT_TRUE(actual.survey.bricks && expected.survey.bricks);
    for (std::size_t level = 0; level < BrickGrid::kLevels; ++level) {
        EXPECT_EQ(actual.survey.bricks->level(level).maxima, expected.survey.bricks->level(level).maxima);
    }
    EXPECT_EQ(statistics(actual.survey.texels), statistics(expected.survey.texels));
    ASSERT_EQ(actual.baseBricks.size(), expected.baseBricks.size());
    for (std::size_t i = 0; i < actual.baseBricks.size(); ++i) {
        EXPECT_EQ(actual.baseBricks[i].key, expected.baseBricks[i].key);
        EXPECT_TRUE(actual.baseBricks[i].texels == expected.baseBricks[i].texels) << "brick " << i;
    }
}

// The renderer starts on the built-in sample with what the build prepared: its base level
// is in the atlas before the first frame, and the grid, statistics and base bricks are
// what the sample's voxels give.
TEST(PreparedSample, TheSampleStartsDrawableWithWhatItsOwnVoxelsGive) {
    const std::shared_ptr<const VolumeData> sample =
        VolumeData::initWithBundle(Bundle(VOXVIEW_RESOURCES_DIR));
    RendererTestBed bed;
    bed.create(sample);
    ASSERT_TRUE(bed.renderer->brickPool());
    EXPECT_TRUE(bed.renderer->brickPool()->drawable());
    const VolumeState volume = bed.renderer->volumeState();
    ASSERT_TRUE(volume.texels);

    const std::array<std::uint64_t, 3> size{sample->width(), sample->height(), sample->depth()};
    const BrickLayout& layout = bed.renderer->brickPool()->layout();
    const std::optional<PreparedSample::Contents> built = PreparedSample::read(
        PreparedSample::besideData(sample->dataPath()), size, sample->data().size(), layout);
    ASSERT_TRUE(built);
    expectSameContents({{volume.bricks, *volume.texels}, built->baseBricks},
                       PreparedSample::prepare(sample->data(), size, layout));
}

// What was prepared is used only for the volume and bricks it was made of: another size,
// other data, another brick side, a file cut short, lengthened or not prepared by us leave
// the volume to be surveyed and read from its voxels.
TEST(PreparedSample, IsReadBackOnlyWhenWholeAndMadeOfTheVolumeAtHand) {
    const std::array<std::uint64_t, 3> size{37, 20, 11};
    const VolumeRecord record =
        testvolumes::record(37, 20, 11, [](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
            return static_cast<std::uint16_t>((x * 977 + y * 131 + z * 7919) % 4096);
        });
    const BrickLayout layout(size, 8);
    const PreparedSample::Contents made = PreparedSample::prepare(record.data, size, layout);
    QTemporaryDir folder;
    const QString path = folder.filePath("volume.prepared");
    ASSERT_EQ(PreparedSample::write(path, made, size, record.data.size(), layout), std::nullopt);
    const std::optional<PreparedSample::Contents> readBack =
        PreparedSample::read(path, size, record.data.size(), layout);
    ASSERT_TRUE(readBack);
    expectSameContents(*readBack, made);

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    file.close();
    QByteArray notPrepared = written;
    notPrepared[0] = 'X';
    const std::uint64_t bytes = record.data.size();
    const std::tuple<QByteArray, std::array<std::uint64_t, 3>, std::uint64_t, std::uint64_t> cases[] = {
        {written, {37, 20, 12}, bytes, 8},    {written, size, bytes + 2, 8},    {written, size, bytes, 16},
        {written.chopped(1), size, bytes, 8}, {written + '\0', size, bytes, 8}, {notPrepared, size, bytes, 8},
    };
    for (const auto& [content, otherSize, otherBytes, brickSide] : cases) {
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        file.close();
        EXPECT_EQ(PreparedSample::read(path, otherSize, otherBytes, BrickLayout(otherSize, brickSide)),
                  std::nullopt)
            << "size " << otherSize[2] << ", data " << otherBytes << ", side " << brickSide << ", "
            << content.size() << " bytes";
    }
}

// Every value from `first` on, shuffled, in two slabs as the upload hands them over.
SampleStatistics::Summary summaryOf(std::uint16_t first, std::uint64_t count) {
    std::vector<std::uint16_t> texels(count);
    for (std::uint64_t i = 0; i < count; ++i)
        texels[i] = static_cast<std::uint16_t>(first + i % (UINT16_MAX - first + 1));
    std::shuffle(texels.begin(), texels.end(), std::mt19937(7));
    SampleStatistics statistics(count);
    const std::uint64_t half = count / 2;
    statistics.addTexels(reinterpret_cast<const std::byte*>(texels.data()), half);
    statistics.addTexels(reinterpret_cast<const std::byte*>(texels.data() + half), count - half);
    return statistics.summary();
}

TEST(SampleStatistics, ExtremesAreExactAndPercentilesCutTheOutermostHundredths) {
    // 10000 texels 5 … 10004: 1 % of them lie below 105, 1 % above 9904.
    const SampleStatistics::Summary small = summaryOf(5, 10000);
    EXPECT_EQ(std::tuple(small.min, small.max, small.lowPercentile, small.highPercentile),
              std::tuple(5, 10004, 105, 9905));
    // Above kHistogramSamples texels the percentiles come from a subsample; the extremes do not.
    const SampleStatistics::Summary large = summaryOf(0, 3 * SampleStatistics::kHistogramSamples + 1);
    EXPECT_EQ(std::tuple(large.min, large.max), std::tuple(0, UINT16_MAX));
    EXPECT_NEAR(large.lowPercentile, 655, 40);
    EXPECT_NEAR(large.highPercentile, 64880, 40);
}

} // namespace
