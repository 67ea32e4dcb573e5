// voxview-convert IN OUT.zarr: reads any volume the viewer opens, as the viewer reads it,
// and writes it as an OME-Zarr store (OmeZarrWriter), printing its progress on stderr.

#include "volume/core/VolumeFile.h"
#include "volume/zarr/OmeZarrWriter.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <cstdio>

namespace {

constexpr int kRefused = 1;
constexpr int kUsageError = 2;
constexpr int kPercent = 100;

int fail(const QString& path, const QString& reason) {
    std::fprintf(stderr, "voxview-convert: %s: %s\n", qUtf8Printable(QFileInfo(path).fileName()),
                 qUtf8Printable(reason));
    return kRefused;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("voxview-convert"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Writes a volume the viewer opens as an OME-Zarr store."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("IN"),
                                 QStringLiteral("A volume file or folder the viewer opens."));
    parser.addPositionalArgument(QStringLiteral("OUT"),
                                 QStringLiteral("The store's folder to write (OUT.zarr)."));
    parser.process(app);
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() != 2) {
        std::fputs("voxview-convert: expected IN and OUT\nUsage: voxview-convert IN OUT.zarr\n", stderr);
        return kUsageError;
    }
    const ImportResult<VolumeRecord> read = VolumeFile::read(arguments[0]);
    if (const auto* refusal = std::get_if<ImportRefusal>(&read))
        return fail(arguments[0], refusal->reason);
    int shown = -1;
    const ImportProgress progress([&shown](double fraction) {
        const int percent = static_cast<int>(fraction * kPercent);
        if (percent != shown)
            std::fprintf(stderr, "\r%3d %%", shown = percent);
    });
    const std::optional<ImportRefusal> refusal =
        OmeZarrWriter::write(std::get<VolumeRecord>(read), arguments[1], progress);
    std::fputc('\n', stderr);
    if (refusal)
        return fail(arguments[1], refusal->reason);
    return 0;
}
