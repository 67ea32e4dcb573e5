#pragma once

#include "render/ShaderTypes.h"
#include "render/display/DisplayModel.h"
#include "render/display/WindowPresets.h"
#include "render/slice/SliceGeometry.h"
#include "render/streaming/BrickPool.h"
#include "volume/core/ImportOptions.h"

#include <QSize>
#include <QString>
#include <QStringList>
#include <optional>
#include <variant>

// What one voxview-bench run measures, from its command line:
//   [--volume sample|HEADER|STORE] [--size W H] [--frames N] [--json FILE] [--png FILE]
//   [--quality full|interactive] [--mode composite|mip|minip|average] [--sampling N]
//   [--lookup default|bw] [--transfer-function FILE.json] [--window LEVEL WIDTH | --window PRESET]
//   [--view 3d|axial|coronal|sagittal] [--slice INDEX] [--slab MM] [--gpu-budget MB]
//   [--ram-budget MB] [--warm-up-limit S]
// A window given as two numbers is in sample units, as the renderer's wl and ww.
struct BenchOptions {
    enum class Quality { Full, Interactive };

    // "sample", the path of an NRRD header, or an OME-Zarr store's folder or http(s) URL
    QString volume = QStringLiteral("sample");
    QSize size{512, 512};
    int frames = 30;
    QString jsonPath; // empty: the JSON goes to standard output only
    QString pngPath;  // empty: no image is saved
    Quality quality = Quality::Full;
    RenderMode mode = RenderMode::Composite;
    int sampling = 1; // samples per voxel step
    // None: the render mode's own (the warm default for compositing, grey for projections).
    std::optional<ColourLookup> lookup;
    QString transferFunctionPath; // a colour preset in ParaView's JSON format; empty: none
    // Neither: the window the volume opens with.
    std::optional<WindowPresets::SampleWindow> window;
    std::optional<WindowPreset> windowPreset;
    // The brick pool's atlas, and what the import of --volume HEADER may hold in memory
    // (a larger raw volume is read in place), as the viewer's options of the same names.
    std::uint64_t gpuBudgetBytes = BrickPool::Budgets{}.gpuBytes;
    std::uint64_t ramBudgetBytes = ImportOptions::kDefaultRamBudgetBytes;
    // A slice view (none: the 3-D view), the slice it shows (none: the middle one) and the
    // thickness of its slab (0: one slice).
    std::optional<SliceAxis> view;
    std::optional<std::uint64_t> slice;
    double slabMillimetres = 0.0;
    // How long the bricks of the first view may take to arrive before the orbit, in seconds.
    int warmUpLimitSeconds = 60;

    bool usesSample() const { return volume == QLatin1String("sample"); }
    QString qualityName() const { return quality == Quality::Full ? "full" : "interactive"; }
    static QString modeName(RenderMode mode);
    static QString lookupName(ColourLookup lookup);

    // The options, or a one-line reason why the arguments cannot be used. `arguments`
    // excludes the program name.
    static std::variant<BenchOptions, QString> parse(const QStringList& arguments);
    static QString usage();
};
