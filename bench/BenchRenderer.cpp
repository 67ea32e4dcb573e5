#include "BenchRenderer.h"

#include "render/QVRenderer.h"
#include "volume/core/VolumeData.h"
#include "volume/core/VolumeFile.h"

#include <QTemporaryDir>

namespace {

constexpr char kSample[] = "sample";

std::unique_ptr<QVRenderer> withImportedVolume(const QString& header, MTKView& view,
                                               const BrickPool::Budgets& budgets,
                                               std::uint64_t ramBudgetBytes, QString* error) {
    ImportOptions options;
    options.maxTextureSize = static_cast<std::uint32_t>(view.device()->maxTexture3DSize());
    options.ramBudgetBytes = ramBudgetBytes;
    // Through the import's own door: an NRRD header, an OME-Zarr store's folder or URL.
    const ImportResult<VolumeRecord> read = VolumeFile::read(header, options);
    if (const auto* refusal = std::get_if<ImportRefusal>(&read)) {
        *error = refusal->reason;
        return nullptr;
    }
    // The renderer starts on the sample's record without its voxels (a bundle without the
    // resource), so nothing but the imported volume is read or uploaded.
    const QTemporaryDir emptyBundle;
    auto renderer = std::make_unique<QVRenderer>(
        view, std::shared_ptr<const VolumeData>(VolumeData::initWithBundle(Bundle(emptyBundle.path()))),
        nullptr, budgets);
    if (!renderer->updateVolumeDataWithNRRDfmt(&std::get<VolumeRecord>(read), error)) {
        return nullptr;
    }
    // On show before the first frame, as the import command shows it: the window the
    // bench sets must not give way to the import's own.
    renderer->adoptPostedVolume();
    return renderer;
}

} // namespace

std::unique_ptr<QVRenderer> BenchRenderer::create(const QString& volume, MTKView& view,
                                                  const BrickPool::Budgets& budgets,
                                                  std::uint64_t ramBudgetBytes, QString* error) {
    std::unique_ptr<QVRenderer> renderer =
        volume != QLatin1String(kSample) ? withImportedVolume(volume, view, budgets, ramBudgetBytes, error)
                                         : std::make_unique<QVRenderer>(view, nullptr, nullptr, budgets);
    if (!renderer || renderer->brickPool()) {
        return renderer;
    }
    // No pool: the volume did not load, or its bricks do not fit the budgets.
    const QVRenderer::VolumeState shown = renderer->volumeState();
    *error = BrickPool::refusal({shown.width, shown.height, shown.depth}, budgets,
                                view.device()->maxTexture3DSize())
                 .value_or(QStringLiteral("the volume could not be loaded or uploaded (see the log above)"));
    return nullptr;
}
