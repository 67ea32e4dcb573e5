#include "ui/window/VolumeStatus.h"

#include "volume/core/Bundle.h"
#include "volume/core/VolumeData.h"
#include "volume/core/VolumeRecord.h"
#include "volume/core/VolumeSize.h"

#include <QFileInfo>
#include <cstdint>

namespace {

constexpr int kSpacingDigits = 6;

// Spacing as a reader expects it: 0.625, 1.0, 0.3 (never "1" for a whole millimetre).
QString millimetres(float spacing) {
    QString text = QString::number(static_cast<double>(spacing), 'g', kSpacingDigits);
    if (!text.contains(QLatin1Char('.')) && !text.contains(QLatin1Char('e')) &&
        !text.contains(QLatin1Char('n'))) {
        text += QStringLiteral(".0");
    }
    return text;
}

QString sizeAndSpacing(std::uint64_t width, std::uint64_t height, std::uint64_t depth, float cellspaceX,
                       float cellspaceY, float cellspaceZ) {
    return QStringLiteral("%1 × %2 × %3 · %4 × %5 × %6 mm")
        .arg(width)
        .arg(height)
        .arg(depth)
        .arg(millimetres(cellspaceX), millimetres(cellspaceY), millimetres(cellspaceZ));
}

} // namespace

QString VolumeStatus::describe(const VolumeData& volume) {
    return sizeAndSpacing(volume.width(), volume.height(), volume.depth(), volume.cellspaceX(),
                          volume.cellspaceY(), volume.cellspaceZ());
}

QString VolumeStatus::describe(const VolumeRecord& volume) {
    QString text = sizeAndSpacing(volume.width, volume.height, volume.depth, volume.cellspaceX,
                                  volume.cellspaceY, volume.cellspaceZ);
    // What the reader assumed or changed (NaN shown as the lowest value, the first
    // volume of a series) must not pass unsaid.
    for (const QString& note : volume.notes) {
        text += QStringLiteral(" · ") + note;
    }
    return text;
}

QString VolumeStatus::describeSample(const VolumeData* sample, const Bundle& bundle) {
    if (sample && !sample->data().isNull()) {
        return describe(*sample);
    }
    const QString path = bundle.pathForResource(QString::fromLatin1(VolumeData::kSampleResourceName),
                                                QString::fromLatin1(VolumeData::kSampleResourceExtension));
    const QFileInfo file(path);
    if (!file.exists()) {
        return QStringLiteral("Built-in sample missing: %1 was not found").arg(path);
    }
    if (sample) {
        const std::optional<std::uint64_t> needed =
            volumeBytes(sample->width(), sample->height(), sample->depth());
        if (needed && static_cast<quint64>(file.size()) < *needed) {
            return QStringLiteral("Built-in sample too short: %1 holds %2 bytes, %3 × %4 × %5 voxels need %6")
                .arg(path)
                .arg(file.size())
                .arg(sample->width())
                .arg(sample->height())
                .arg(sample->depth())
                .arg(*needed);
        }
    }
    return QStringLiteral("Built-in sample could not be read: %1").arg(path);
}
