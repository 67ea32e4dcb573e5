#include "Bundle.h"
#include "VolumeData.h"
#include "VolumeStatus.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

constexpr qint64 kSampleBytes = 512LL * 512 * 463 * 2;

// A resource folder holding the built-in sample with the given length (a sparse
// file: its length is what counts here, not its voxels).
class StatusLineTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    void writeSample(qint64 length) {
        QFile file(samplePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(length));
    }

    QString samplePath() const { return QDir(m_dir.path()).filePath(QStringLiteral("512x512x463-16U.raw")); }
    Bundle bundle() const { return Bundle(m_dir.path()); }

    QTemporaryDir m_dir;
};

TEST_F(StatusLineTest, ShowsSizeAndSpacingOfTheBuiltInSample) {
    writeSample(kSampleBytes);
    const auto sample = VolumeData::initWithBundle(bundle());
    ASSERT_TRUE(sample);
    EXPECT_EQ(VolumeStatus::describeSample(sample.get(), bundle()),
              QStringLiteral("512 × 512 × 463 · 0.625 × 0.625 × 1.0 mm"));
}

TEST_F(StatusLineTest, NamesTheMissingSampleAndWhereItWasLookedFor) {
    const auto sample = VolumeData::initWithBundle(bundle());
    EXPECT_EQ(VolumeStatus::describeSample(sample.get(), bundle()),
              QStringLiteral("Built-in sample missing: %1 was not found").arg(samplePath()));
    EXPECT_EQ(VolumeStatus::describeSample(nullptr, bundle()),
              QStringLiteral("Built-in sample missing: %1 was not found").arg(samplePath()));
}

TEST_F(StatusLineTest, NamesTheShortSampleWithItsLengthAndTheLengthNeeded) {
    writeSample(1000);
    const auto sample = VolumeData::initWithBundle(bundle());
    EXPECT_EQ(VolumeStatus::describeSample(sample.get(), bundle()),
              QStringLiteral("Built-in sample too short: %1 holds 1000 bytes, 512 × 512 × 463 voxels need %2")
                  .arg(samplePath())
                  .arg(kSampleBytes));
}

} // namespace
