#include "Classification.h"
#include "VolumeData.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace {

struct Row {
    std::uint16_t sample;
    ClassifiedVoxel bytes;
};

// Every range boundary of the small-volume table, and the wrap-around of its
// 200..399 ramp ((s + 56) mod 256).
const Row kSmallVolumeRows[] = {
    {0, {0, 0, 0, 50}},          {49, {49, 49, 0, 50}},         {50, {0, 50, 50, 100}},
    {149, {0, 149, 149, 100}},   {150, {10, 150, 150, 110}},    {199, {10, 199, 199, 110}},
    {200, {10, 0, 0, 140}},      {255, {10, 55, 55, 140}},      {399, {10, 199, 199, 140}},
    {400, {200, 200, 200, 200}}, {65535, {200, 200, 200, 200}},
};

// Every range boundary of the CT head table, the gaps that classify to nothing,
// and the wrap-around of each ramp.
const Row kHeadRows[] = {
    {0, {0, 0, 0, 50}},        {255, {255, 255, 0, 50}},     {256, {0, 0, 0, 50}},
    {399, {143, 143, 0, 50}},  {400, {0, 0, 0, 0}},          {899, {0, 0, 0, 0}},
    {900, {0, 0, 0, 50}},      {999, {0, 0, 99, 50}},        {1000, {0, 40, 150, 150}},
    {1099, {0, 40, 249, 150}}, {1100, {0, 100, 100, 150}},   {1255, {0, 255, 255, 150}},
    {1256, {0, 0, 0, 150}},    {1299, {0, 43, 43, 150}},     {1300, {0, 0, 0, 0}},
    {1399, {0, 0, 0, 0}},      {1400, {170, 170, 170, 200}}, {65535, {170, 170, 170, 200}},
};

TEST(VolumeDataClassification, SmallVolumeTableGivesEachRangeItsBytes) {
    for (const Row& row : kSmallVolumeRows)
        EXPECT_EQ(classifySample(row.sample), row.bytes) << "sample " << row.sample;
}

TEST(VolumeDataClassification, HeadTableGivesEachRangeItsBytes) {
    for (const Row& row : kHeadRows)
        EXPECT_EQ(classifyHeadSample(row.sample), row.bytes) << "sample " << row.sample;
}

ClassifiedVoxel voxelAt(const ByteBuffer& data, std::size_t index) {
    ClassifiedVoxel voxel{};
    std::memcpy(voxel.data(), data.data() + index * voxel.size(), voxel.size());
    return voxel;
}

// The table applies to every voxel of the file, in voxel order, including the last.
TEST(VolumeDataClassification, FileAtLocationClassifiesEveryVoxelOfTheFile) {
    const std::size_t voxels = 64 * 64 * 93;
    std::vector<std::uint16_t> samples(voxels, 400);
    for (std::size_t i = 0; i < std::size(kSmallVolumeRows); ++i)
        samples[i * 1001] = kSmallVolumeRows[i].sample;
    samples.back() = 49;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile file(dir.filePath("small.raw"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    std::vector<std::uint16_t> littleEndian(voxels);
    qToLittleEndian<std::uint16_t>(samples.data(), static_cast<qsizetype>(voxels), littleEndian.data());
    file.write(reinterpret_cast<const char*>(littleEndian.data()), static_cast<qint64>(voxels * 2));
    file.close();

    const auto volume = VolumeData::initWithFileAtLocation(file.fileName());
    ASSERT_TRUE(volume);
    ASSERT_EQ(volume->data().size(), 1'523'712u);
    for (std::size_t i = 0; i < std::size(kSmallVolumeRows); ++i)
        EXPECT_EQ(voxelAt(volume->data(), i * 1001), kSmallVolumeRows[i].bytes)
            << "sample " << kSmallVolumeRows[i].sample;
    EXPECT_EQ(voxelAt(volume->data(), 1), (ClassifiedVoxel{200, 200, 200, 200}));
    EXPECT_EQ(voxelAt(volume->data(), voxels - 1), (ClassifiedVoxel{49, 49, 0, 50}));
}

} // namespace
