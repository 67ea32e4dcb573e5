#include "render/scene/PreparedSample.h"
#include "render/streaming/BrickPool.h"
#include "volume/core/Bundle.h"
#include "volume/core/VolumeData.h"

#include <QCoreApplication>
#include <cstdio>

// voxview-prepare-sample FOLDER
//     prepares the start-up of the built-in sample in the resource folder FOLDER: surveys it
//     (brick grid, texel statistics) and builds the base level of its brick pool, and writes
//     both beside it, so that the viewer's first picture waits for neither.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: voxview-prepare-sample FOLDER\n");
        return 2;
    }
    const std::unique_ptr<VolumeData> sample = VolumeData::initWithBundle(Bundle(args[0]));
    if (sample->data().isNull()) {
        std::fprintf(stderr, "voxview-prepare-sample: there is no sample volume in %s\n",
                     qUtf8Printable(args[0]));
        return 1;
    }
    const std::array<std::uint64_t, 3> size{sample->width(), sample->height(), sample->depth()};
    const BrickLayout layout(size, BrickPool::Budgets{}.brickSide);
    const PreparedSample::Contents contents = PreparedSample::prepare(sample->data(), size, layout);
    if (auto failure = PreparedSample::write(PreparedSample::besideData(sample->dataPath()), contents, size,
                                             sample->data().size(), layout)) {
        std::fprintf(stderr, "voxview-prepare-sample: %s\n", qUtf8Printable(*failure));
        return 1;
    }
    return 0;
}
