#include "render/scene/PreparedSample.h"

#include "RendererTestBed.h"
#include "volume/core/ByteBuffer.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

void expectSameContents(const PreparedSample::Contents& actual, const PreparedSample::Contents& expected) {
    ASSERT_TRUE(actual.survey.bricks && expected.survey.bricks);
    for (std::size_t level = 0; level < BrickGrid::kLevels; ++level) {
        EXPECT_EQ(actual.survey.bricks->level(level).maxima, expected.survey.bricks->level(level).maxima)
            << "grid level " << level;
    }
    EXPECT_EQ(actual.survey.texels.min, expected.survey.texels.min);
    EXPECT_EQ(actual.survey.texels.max, expected.survey.texels.max);
    EXPECT_EQ(actual.survey.texels.lowPercentile, expected.survey.texels.lowPercentile);
    EXPECT_EQ(actual.survey.texels.highPercentile, expected.survey.texels.highPercentile);
    ASSERT_EQ(actual.baseBricks.size(), expected.baseBricks.size());
    for (std::size_t i = 0; i < actual.baseBricks.size(); ++i) {
        EXPECT_EQ(actual.baseBricks[i].key, expected.baseBricks[i].key) << "brick " << i;
        EXPECT_EQ(actual.baseBricks[i].maximum, expected.baseBricks[i].maximum) << "brick " << i;
        EXPECT_TRUE(actual.baseBricks[i].texels == expected.baseBricks[i].texels) << "brick " << i;
    }
}

// The renderer starts on the built-in sample with what the build prepared: its base level
// is in the atlas before the first frame, and the grid, statistics and base bricks are
// what the sample's voxels give.
TEST(PreparedSample, TheSampleStartsDrawableWithWhatItsOwnVoxelsGive) {
    const std::shared_ptr<const VolumeData> sample =
        VolumeData::initWithBundle(Bundle(VOXVIEW_RESOURCES_DIR));
    ASSERT_FALSE(sample->data().isNull());
    RendererTestBed bed;
    bed.create(sample);
    ASSERT_TRUE(bed.renderer->brickPool());
    EXPECT_TRUE(bed.renderer->brickPool()->drawable());
    const VolumeState volume = bed.renderer->volumeState();
    ASSERT_TRUE(volume.bricks && volume.texels);

    const std::array<std::uint64_t, 3> size{sample->width(), sample->height(), sample->depth()};
    const BrickLayout& layout = bed.renderer->brickPool()->layout();
    const PreparedSample::Contents fresh = PreparedSample::prepare(sample->data(), size, layout);
    const std::optional<PreparedSample::Contents> built = PreparedSample::read(
        PreparedSample::besideData(sample->dataPath()), size, sample->data().size(), layout);
    ASSERT_TRUE(built);
    expectSameContents(*built, fresh);
    expectSameContents({{volume.bricks, *volume.texels}, built->baseBricks}, fresh);
}

// What was prepared is used only for the volume and bricks it was made of: another size,
// other data, another brick side, a file cut short, lengthened or not prepared at all leave
// the volume to be surveyed and read from its voxels.
TEST(PreparedSample, IsReadBackOnlyWhenWholeAndMadeOfTheVolumeAtHand) {
    const std::array<std::uint64_t, 3> size{37, 20, 11};
    const VolumeRecord record =
        testvolumes::record(37, 20, 11, [](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
            return static_cast<std::uint16_t>((x * 977 + y * 131 + z * 7919) % 4096);
        });
    const BrickLayout layout(size, 8);
    const PreparedSample::Contents made = PreparedSample::prepare(record.data, size, layout);
    ASSERT_EQ(made.baseBricks.size(), layout.brickCount(layout.baseLevel()));
    QTemporaryDir folder;
    const QString path = folder.filePath("volume.prepared");
    ASSERT_EQ(PreparedSample::write(path, made, size, record.data.size(), layout), std::nullopt);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();

    const std::optional<PreparedSample::Contents> readBack =
        PreparedSample::read(path, size, record.data.size(), layout);
    ASSERT_TRUE(readBack);
    expectSameContents(*readBack, made);

    struct Case {
        const char* what;
        QByteArray bytes;
        std::array<std::uint64_t, 3> size;
        std::uint64_t dataBytes;
        std::uint64_t brickSide;
    };
    QByteArray notPrepared = written;
    notPrepared[0] = 'X';
    const Case cases[] = {
        {"another volume's size", written, {37, 20, 12}, record.data.size(), 8},
        {"another data length", written, size, record.data.size() + 2, 8},
        {"another brick side", written, size, record.data.size(), 16},
        {"cut short by a byte", written.chopped(1), size, record.data.size(), 8},
        {"a byte more", written + QByteArray(1, '\0'), size, record.data.size(), 8},
        {"not prepared by us", notPrepared, size, record.data.size(), 8},
        {"empty", QByteArray(), size, record.data.size(), 8},
    };
    for (const Case& c : cases) {
        QFile damaged(path);
        ASSERT_TRUE(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
        damaged.write(c.bytes);
        damaged.close();
        EXPECT_EQ(PreparedSample::read(path, c.size, c.dataBytes, BrickLayout(c.size, c.brickSide)),
                  std::nullopt)
            << c.what;
    }
    EXPECT_EQ(PreparedSample::read(folder.filePath("absent.prepared"), size, record.data.size(), layout),
              std::nullopt);
}

} // namespace
