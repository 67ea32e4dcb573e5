#include "render/gl/SurfaceFormat.h"
#include "render/gpu/Gpu.h"
#include "ui/window/AppDelegate.h"
#include "ui/window/WindowController.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <optional>

namespace {

constexpr int kExitNoOpenGL = 1;
constexpr int kExitUsage = 2;
// Budgets are given in MiB; 4 TiB is beyond any machine the viewer runs on.
constexpr int kMegabyteShift = 20;
constexpr qulonglong kMostMegabytes = qulonglong{1} << 22;

// The option's value in bytes, or nothing when it is not a whole number of megabytes in range.
std::optional<std::uint64_t> budgetBytes(const QString& megabytes) {
    bool ok = false;
    const qulonglong value = megabytes.toULongLong(&ok);
    if (!ok || value == 0 || value > kMostMegabytes) {
        return std::nullopt;
    }
    return std::uint64_t{value} << kMegabyteShift;
}

// Said once, in the log and in a dialog, before giving up.
void reportNoOpenGL(const QString& reason) {
    const QString message =
        QObject::tr("voxview needs OpenGL 4.1 (core profile) to draw volumes and cannot start.\n%1")
            .arg(reason);
    qCritical("%s", qUtf8Printable(message));
    QMessageBox::critical(nullptr, QObject::tr("voxview"), message);
}

} // namespace

int main(int argc, char** argv) {
    gl::setDefaultSurfaceFormat();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("voxview"));
    QApplication::setApplicationVersion(QStringLiteral(VOXVIEW_VERSION));

    QCommandLineParser arguments;
    arguments.setApplicationDescription(QObject::tr(
        "Shows a volume of 16-bit samples (CT, microscopy) and lets you turn, window and clip it."));
    arguments.addHelpOption();
    arguments.addVersionOption();
    arguments.addPositionalArgument(QStringLiteral("FILE"),
                                    QObject::tr("The volume to open instead of the built-in sample: an NRRD, "
                                                "NIfTI or TIFF file, a DICOM file or folder, or an OME-Zarr "
                                                "store's folder or http(s):// URL."),
                                    QStringLiteral("[FILE"));
    arguments.addPositionalArgument(QStringLiteral("DATA"),
                                    QObject::tr("The data file of a detached header; without it, the data "
                                                "panel asks for one."),
                                    QStringLiteral("[DATA]]"));
    ViewerBudgets budgets;
    const QCommandLineOption gpuBudget(
        QStringLiteral("gpu-budget"),
        QObject::tr("Megabytes of GPU memory for the volume's bricks (default %1).")
            .arg(budgets.pool.gpuBytes >> kMegabyteShift),
        QStringLiteral("MB"));
    const QCommandLineOption ramBudget(
        QStringLiteral("ram-budget"),
        QObject::tr("Megabytes an import may hold in memory; larger raw volumes are read in place "
                    "from their file (default %1).")
            .arg(budgets.importRamBytes >> kMegabyteShift),
        QStringLiteral("MB"));
    const QCommandLineOption cacheBudget(
        QStringLiteral("cache-budget"),
        QObject::tr("Megabytes of disk for values read from web stores (default %1).")
            .arg(budgets.chunkCacheBytes >> kMegabyteShift),
        QStringLiteral("MB"));
    const QCommandLineOption transferFunction(
        QStringLiteral("transfer-function"),
        QObject::tr("A colour preset in ParaView's JSON format: every volume is shown in its colour map, the "
                    "window over its values."),
        QStringLiteral("FILE.json"));
    const QCommandLineOption layout(
        QStringLiteral("layout"),
        QObject::tr(
            "How the window shows the volume: 3d (the 3-D view alone), 1+3 (with the three slices beside "
            "it), 2x2, or one slice view: axial, coronal or sagittal."),
        QStringLiteral("LAYOUT"), QStringLiteral("3d"));
    arguments.addOptions({gpuBudget, ramBudget, cacheBudget, transferFunction, layout});
    arguments.process(application);
    const std::optional<ViewLayout> viewLayout = SlicePanel::parseLayout(arguments.value(layout));
    if (!viewLayout) {
        std::fprintf(
            stderr, "%s\n",
            qUtf8Printable(QObject::tr("--layout takes 3d, 1+3, 2x2, axial, coronal or sagittal, not \"%1\".")
                               .arg(arguments.value(layout))));
        arguments.showHelp(kExitUsage);
    }
    std::optional<ColourMap::Preset> colourPreset;
    if (arguments.isSet(transferFunction)) {
        auto read = ColourMap::readParaViewPreset(arguments.value(transferFunction));
        if (const QString* reason = std::get_if<QString>(&read)) {
            std::fprintf(stderr, "voxview: %s\n", qUtf8Printable(*reason));
            return kExitUsage;
        }
        colourPreset = std::get<ColourMap::Preset>(std::move(read));
    }
    for (const auto& [option, bytes] :
         {std::pair{&gpuBudget, &budgets.pool.gpuBytes}, std::pair{&ramBudget, &budgets.importRamBytes},
          std::pair{&cacheBudget, &budgets.chunkCacheBytes}}) {
        if (!arguments.isSet(*option)) {
            continue;
        }
        const QString value = arguments.value(*option);
        const std::optional<std::uint64_t> parsed = budgetBytes(value);
        if (!parsed) {
            std::fprintf(
                stderr, "%s\n",
                qUtf8Printable(QObject::tr("--%1 needs a whole number of megabytes from 1 to %2, not \"%3\".")
                                   .arg(option->names().constFirst())
                                   .arg(kMostMegabytes)
                                   .arg(value)));
            arguments.showHelp(kExitUsage);
        }
        *bytes = *parsed;
    }
    budgets.pool.coarseLevelBytes = budgets.importRamBytes / BrickPool::Budgets::kCoarseShareOfRam;
    const QStringList files = arguments.positionalArguments();
    if (files.size() > 2) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(QObject::tr("voxview takes at most FILE and DATA.")));
        arguments.showHelp(kExitUsage);
    }

    // The device is an offscreen context in the global share group: made first, it
    // tells whether this system can draw at all before any window appears.
    std::string reason;
    std::shared_ptr<gpu::Device> device = gpu::tryCreateSystemDefaultDevice(&reason);
    if (!device) {
        reportNoOpenGL(QString::fromStdString(reason));
        return kExitNoOpenGL;
    }

    AppDelegate appDelegate;
    WindowController window(
        &appDelegate, [device] { return device; }, budgets);
    window.setViewLayout(*viewLayout);
    window.show();
    if (colourPreset) {
        window.setColourPreset(*colourPreset);
    }
    if (!files.isEmpty()) {
        // Once the window is up, so that a data panel or a refusal opens over it.
        QTimer::singleShot(0, &window, [&window, files] { window.openFile(files[0], files.value(1)); });
    }
    return QApplication::exec();
}
