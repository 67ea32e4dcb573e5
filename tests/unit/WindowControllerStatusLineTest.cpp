#include "Bundle.h"
#include "VolumeData.h"
#include "VolumeStatus.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

constexpr qint64 kSampleBytes = 512LL * 512 * 463 * 2;

// The built-in sample as found in a resource folder: the right length (a sparse file: its
// length is what counts here), missing, or short.
TEST(StatusLine, DescribesTheBuiltInSampleOrWhyItIsMissing) {
    QTemporaryDir dir;
    const Bundle bundle(dir.path());
    const QString path = QDir(dir.path()).filePath(QStringLiteral("512x512x463-16U.raw"));
    const struct {
        qint64 length; // < 0: no file
        QString described;
    } cases[] = {
        {-1, QStringLiteral("Built-in sample missing: %1 was not found").arg(path)},
        {kSampleBytes, QStringLiteral("512 × 512 × 463 · 0.625 × 0.625 × 1.0 mm")},
        {1000,
         QStringLiteral("Built-in sample too short: %1 holds 1000 bytes, 512 × 512 × 463 voxels need %2")
             .arg(path)
             .arg(kSampleBytes)},
    };
    EXPECT_EQ(VolumeStatus::describeSample(nullptr, bundle), cases[0].described);
    for (const auto& c : cases) {
        if (c.length >= 0) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(c.length));
        }
        EXPECT_EQ(VolumeStatus::describeSample(VolumeData::initWithBundle(bundle).get(), bundle),
                  c.described);
    }
}

} // namespace
