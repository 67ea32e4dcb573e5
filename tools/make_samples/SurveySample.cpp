#include "render/scene/SampleSurveyFile.h"
#include "render/scene/VolumeSurvey.h"
#include "volume/core/Bundle.h"
#include "volume/core/VolumeData.h"

#include <QCoreApplication>
#include <cstdio>

// voxview-survey-sample FOLDER
//     surveys the built-in sample in the resource folder FOLDER (its brick grid and texel
//     statistics) and writes the survey beside it, so that the viewer starts without reading
//     every voxel first.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: voxview-survey-sample FOLDER\n");
        return 2;
    }
    const std::unique_ptr<VolumeData> sample = VolumeData::initWithBundle(Bundle(args[0]));
    if (sample->data().isNull()) {
        std::fprintf(stderr, "voxview-survey-sample: there is no sample volume in %s\n",
                     qUtf8Printable(args[0]));
        return 1;
    }
    const std::array<std::uint64_t, 3> size{sample->width(), sample->height(), sample->depth()};
    const VolumeSurvey::Survey survey = VolumeSurvey::survey(sample->data(), size);
    if (auto failure = SampleSurveyFile::write(SampleSurveyFile::besideData(sample->dataPath()), survey, size,
                                               sample->data().size())) {
        std::fprintf(stderr, "voxview-survey-sample: %s\n", qUtf8Printable(*failure));
        return 1;
    }
    return 0;
}
