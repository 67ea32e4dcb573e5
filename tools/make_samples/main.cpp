#include "SampleFiles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QStringList>
#include <cstdio>

// voxview-make-samples FOLDER
//     writes the sample resources of the viewer into FOLDER.
// voxview-make-samples --volume WxHxD FILE
//     writes the whole head on a W x H x D grid (same field of view as the 512 sample)
//     as little-endian 16-bit samples, for tests that need a small volume.
namespace {

int usage() {
    std::fprintf(stderr, "usage: voxview-make-samples FOLDER\n"
                         "       voxview-make-samples --volume WxHxD FILE\n");
    return 2;
}

int fail(const QString& reason) {
    std::fprintf(stderr, "voxview-make-samples: %s\n", qUtf8Printable(reason));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    QElapsedTimer timer;
    timer.start();

    if (args.size() == 1 && !args[0].startsWith(u'-')) {
        if (auto failure = writeSampleResources(args[0]))
            return fail(*failure);
        std::printf("voxview-make-samples: sample volumes written to %s in %.2f s\n", qUtf8Printable(args[0]),
                    static_cast<double>(timer.elapsed()) / 1000.0);
        return 0;
    }

    if (args.size() == 3 && args[0] == u"--volume") {
        const QRegularExpressionMatch size =
            QRegularExpression(QStringLiteral("^(\\d+)x(\\d+)x(\\d+)$")).match(args[1]);
        if (!size.hasMatch())
            return usage();
        const SampleGrid grid = gridOverLargeSample(
            size.captured(1).toULongLong(), size.captured(2).toULongLong(), size.captured(3).toULongLong());
        if (grid.samples() == 0)
            return usage();
        if (auto failure = writeHeadVolume(args[2], grid))
            return fail(*failure);
        return 0;
    }
    return usage();
}
