#include "render/scene/SampleSurveyFile.h"

#include "RendererTestBed.h"
#include "volume/core/ByteBuffer.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

void expectSameSurvey(const VolumeSurvey::Survey& actual, const VolumeSurvey::Survey& expected) {
    ASSERT_TRUE(actual.bricks && expected.bricks);
    for (std::size_t level = 0; level < BrickGrid::kLevels; ++level) {
        EXPECT_EQ(actual.bricks->level(level).maxima, expected.bricks->level(level).maxima)
            << "level " << level;
    }
    EXPECT_EQ(actual.texels.min, expected.texels.min);
    EXPECT_EQ(actual.texels.max, expected.texels.max);
    EXPECT_EQ(actual.texels.lowPercentile, expected.texels.lowPercentile);
    EXPECT_EQ(actual.texels.highPercentile, expected.texels.highPercentile);
}

// The renderer starts on the built-in sample with the grid and statistics the build
// surveyed, before its first frame, and they are what its voxels say.
TEST(SampleSurveyFile, TheSampleStartsWithTheSurveyOfItsOwnVoxels) {
    const std::shared_ptr<const VolumeData> sample =
        VolumeData::initWithBundle(Bundle(VOXVIEW_RESOURCES_DIR));
    ASSERT_FALSE(sample->data().isNull());
    RendererTestBed bed;
    bed.create(sample);
    const VolumeState& volume = bed.renderer->volumeState();
    ASSERT_TRUE(volume.bricks);
    ASSERT_TRUE(volume.texels);
    expectSameSurvey(
        {volume.bricks, *volume.texels},
        VolumeSurvey::survey(sample->data(), {sample->width(), sample->height(), sample->depth()}));
}

// A survey is used only for the volume it was made of: another size, other data, a file cut
// short, lengthened or not a survey at all leave the volume to be surveyed from its voxels.
TEST(SampleSurveyFile, IsReadBackOnlyWhenWholeAndMadeOfTheVolumeAtHand) {
    const std::array<std::uint64_t, 3> size{37, 20, 11};
    const VolumeRecord record =
        testvolumes::record(37, 20, 11, [](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
            return (x * 977 + y * 131 + z * 7919) % 4096;
        });
    const VolumeSurvey::Survey made = VolumeSurvey::survey(record.data, size);
    QTemporaryDir folder;
    const QString path = folder.filePath("volume.survey");
    ASSERT_EQ(SampleSurveyFile::write(path, made, size, record.data.size()), std::nullopt);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();

    const std::optional<VolumeSurvey::Survey> readBack =
        SampleSurveyFile::read(path, size, record.data.size());
    ASSERT_TRUE(readBack);
    expectSameSurvey(*readBack, made);

    struct Case {
        const char* what;
        QByteArray bytes;
        std::array<std::uint64_t, 3> size;
        std::uint64_t dataBytes;
    };
    QByteArray notASurvey = written;
    notASurvey[0] = 'X';
    const Case cases[] = {
        {"another volume's size", written, {37, 20, 12}, record.data.size()},
        {"another data length", written, size, record.data.size() + 2},
        {"cut short by a byte", written.chopped(1), size, record.data.size()},
        {"a byte more", written + QByteArray(1, '\0'), size, record.data.size()},
        {"not a survey", notASurvey, size, record.data.size()},
        {"empty", QByteArray(), size, record.data.size()},
    };
    for (const Case& c : cases) {
        QFile damaged(path);
        ASSERT_TRUE(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
        damaged.write(c.bytes);
        damaged.close();
        EXPECT_EQ(SampleSurveyFile::read(path, c.size, c.dataBytes), std::nullopt) << c.what;
    }
    EXPECT_EQ(SampleSurveyFile::read(folder.filePath("absent.survey"), size, record.data.size()),
              std::nullopt);
}

} // namespace
