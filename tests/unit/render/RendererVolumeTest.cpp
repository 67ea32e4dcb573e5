#include "LogCapture.h"
#include "RendererTestBed.h"
#include "render/scene/PreparedSample.h"
#include "volume/core/ByteBuffer.h"
#include "volume/samples/SampleStatistics.h"

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// Everything an import may change, to compare before and after.
auto snapshot(const QVRenderer& r) {
    const QVRenderer::VolumeState v = r.volumeState();
    return std::tuple(r.wl(), r.ww(), r.clutmode(), r.zoom(), r.xrot(), r.yrot(), r.zrot(), r.xcept(),
                      r.xceptBtm(), r.ycept(), r.yceptBtm(), r.zcept(), r.zceptBtm(), v.source.get(), v.width,
                      v.height, v.depth, v.cellspaceX, v.cellspaceY, v.cellspaceZ, v.sampleOffset);
}

// Moves every value an import resets away from its default.
void disturb(QVRenderer& r) {
    r.setWl(100);
    r.setWw(200);
    r.setClutmode(1);
    for (const auto set :
         {&QVRenderer::setZoom, &QVRenderer::setXrot, &QVRenderer::setYrot, &QVRenderer::setZrot,
          &QVRenderer::setXcept, &QVRenderer::setXceptBtm, &QVRenderer::setYcept, &QVRenderer::setYceptBtm,
          &QVRenderer::setZcept, &QVRenderer::setZceptBtm}) {
        (r.*set)(0.3f);
    }
}

TEST(RendererImport, ThePostedVolumeAndItsDefaultsAreShownTogetherByTheNextFrame) {
    CreatedRendererTestBed bed;
    bed.frame();
    const Uniforms uniforms = bed.renderer->uniforms();
    disturb(*bed.renderer);
    VolumeRecord record = testvolumes::record(4, 6, 8, [](auto, auto, auto) { return 7; });
    record.cellspaceX = 0.5f;
    record.cellspaceY = 0.75f;
    record.cellspaceZ = 2.5f;
    record.sampleOffset = -32768;
    record.data = ByteBuffer::fromByteArray(QByteArray(4 * 6 * 8 * 2 + 10, '\7')); // longer than needed
    // Of the setters, only the window's notify.
    EXPECT_EQ(bed.notified, (QStringList{"ww", "wl", "wl", "ww"}));
    bed.notified.clear();
    const auto before = snapshot(*bed.renderer);

    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&record));

    // Posted, not shown: nothing the frames or the observers read has changed yet.
    EXPECT_EQ(snapshot(*bed.renderer), before);
    EXPECT_EQ(std::memcmp(&bed.renderer->uniforms(), &uniforms, sizeof(Uniforms)), 0);
    EXPECT_TRUE(bed.notified.isEmpty());

    bed.frame();

    // The import window, lookup 0, the camera at the start, nothing clipped, the record's
    // geometry, and only the frame's own notifications, with the new window.
    const VolumeSource* source = bed.renderer->volumeState().source.get();
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(snapshot(*bed.renderer),
              std::tuple(std::int64_t{-10}, std::int64_t{1300}, std::int64_t{0}, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f,
                         0.0f, 1.0f, 0.0f, 1.0f, 0.0f, source, std::uint64_t{4}, std::uint64_t{6},
                         std::uint64_t{8}, 0.5f, 0.75f, 2.5f, -32768));
    EXPECT_EQ(bed.notified, (QStringList{"ww", "wl"}));
    EXPECT_EQ(bed.renderer->wlww().wl, -10);
    EXPECT_EQ(bed.renderer->uniforms().sampleOffset, -32768);
}

struct Refusal {
    const char* name;
    std::uint32_t width, height, depth;
    qsizetype bytes; // -1: no data at all, -2: no record at all
    const char* reason;
    std::size_t maxTexture3DSize = 2048;
};

class RendererImportRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(RendererImportRefusal, RefusesWithAReasonAndKeepsTheCurrentVolume) {
    const Refusal& refusal = GetParam();
    CreatedRendererTestBed bed;
    const VolumeRecord current = testvolumes::record(2, 3, 4, [](auto, auto, auto) { return 1; });
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&current));
    bed.renderer->adoptPostedVolume();
    disturb(*bed.renderer);
    const auto before = snapshot(*bed.renderer);
    bed.device->options().maxTexture3DSize = refusal.maxTexture3DSize;

    VolumeRecord record;
    record.width = refusal.width;
    record.height = refusal.height;
    record.depth = refusal.depth;
    record.cellspaceX = record.cellspaceY = record.cellspaceZ = 3.0f;
    if (refusal.bytes >= 0) {
        record.data = ByteBuffer::fromByteArray(QByteArray(refusal.bytes, '\1'));
    }
    LogCapture capture;
    QString reason;
    bed.notified.clear();

    EXPECT_FALSE(bed.renderer->updateVolumeDataWithNRRDfmt(refusal.bytes == -2 ? nullptr : &record, &reason));

    EXPECT_TRUE(reason.contains(QString::fromLatin1(refusal.reason))) << reason.toStdString();
    ASSERT_EQ(capture.lines().size(), 1);
    EXPECT_TRUE(capture.lines().at(0).contains(reason));
    EXPECT_EQ(snapshot(*bed.renderer), before);
    EXPECT_TRUE(bed.notified.isEmpty());
    EXPECT_TRUE(bed.device->textures().at(0).releasedOn.empty());
}

INSTANTIATE_TEST_SUITE_P(
    , RendererImportRefusal,
    testing::Values(Refusal{"AbsentRecord", 2, 2, 2, -2, "no volume record"},
                    Refusal{"AbsentData", 2, 2, 2, -1, "no voxel data"},
                    Refusal{"ZeroDepth", 2, 2, 0, 16, "not positive along every axis"},
                    Refusal{"OneByteShort", 3, 5, 7, 209, "holds 209 bytes but 3 x 5 x 7 voxels need 210"},
                    // 2^32 - 1 per side: the byte count does not even fit in 64 bits.
                    Refusal{"SizeBeyondAnyBuffer", 0xffffffffu, 0xffffffffu, 0xffffffffu, 16,
                            "too large to hold in memory", 0xffffffffu},
                    Refusal{"AtlasAboveTextureLimit", 9, 2, 2, 72, "cannot hold the volume's coarsest level",
                            8},
                    Refusal{"PageTableAboveTextureLimit", 1, 1, 600000, 16, "too long for this GPU"}),
    [](const testing::TestParamInfo<Refusal>& row) { return std::string(row.param.name); });

// The observers of the window run inside the frame and ask the renderer for the volume (the
// labels' value map, the presets): the one the frame adopted.
TEST(RendererImport, AWorkerImportMakesNoGpuObjectsTheNextFrameSwapsThePoolOnTheGuiThread) {
    CreatedRendererTestBed bed;
    const VolumeRecord first = testvolumes::sphere(8, 1000);
    const VolumeRecord dropped = testvolumes::sphere(4, 500);
    const VolumeRecord second = testvolumes::sphere(6, 2000);
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&first));
    bed.frame(); // adopts the first volume: its atlas, page table and grid
    const std::size_t made = bed.device->textures().size();

    bool accepted = false;
    std::thread worker([&] {
        accepted = bed.renderer->updateVolumeDataWithNRRDfmt(&dropped) &&
                   bed.renderer->updateVolumeDataWithNRRDfmt(&second);
    });
    worker.join();
    ASSERT_TRUE(accepted);
    // The worker surveys and posts; the GPU is the GUI thread's alone, so an import cannot
    // stall the frames through it.
    EXPECT_EQ(bed.device->textures().size(), made);
    EXPECT_EQ(bed.renderer->volumeState().width, 8u);

    std::vector<std::uint64_t> widthsHeard;
    QObject::connect(
        bed.renderer.get(), &QVRenderer::valueChanged, bed.renderer.get(),
        [&](const QString&) { widthsHeard.push_back(bed.renderer->volumeState().width); },
        Qt::DirectConnection);
    bed.frame();
    EXPECT_EQ(widthsHeard, (std::vector<std::uint64_t>{6, 6})); // "ww", then "wl"
    // The colour map's table stays with the renderer.
    const auto textures = bed.device->textures();
    for (std::size_t i = 0; i < made; ++i) {
        const gpu::TextureDescriptor& d = textures.at(i).descriptor;
        if (d.pixelFormat != gpu::PixelFormat::RGBA8Unorm) {
            EXPECT_EQ(textures.at(i).releasedOn, "GUI thread") << "texture " << i;
        }
    }
    EXPECT_EQ(bed.renderer->volumeState().width, 6u);
}

// The sample goes up brick by brick, each into a whole slot of the atlas, never more
// bytes in one frame than the budget allows, until the view has all it needs; the brick
// grid follows as mipmap levels once surveyed.
TEST(RendererCreation, StreamsTheSampleIntoAtlasSlotsWithinTheBudgetOfEachFrame) {
    RendererTestBed bed;
    bed.create(testvolumes::sampleOfZeros());
    const BrickPool& pool = *bed.renderer->brickPool();
    const std::uint64_t side = pool.layout().slotSide();
    const std::uint64_t budget = bed.renderer->budgets().uploadBytesPerFrame;

    std::size_t uploaded = 0;
    while ((!pool.complete() || !bed.renderer->volumeState().brickTexture) && bed.frames < 20000) {
        bed.frame();
        const recording::TextureRecord atlas = bed.device->texture(*pool.atlas());
        std::uint64_t bytes = 0;
        for (std::size_t i = uploaded; i < atlas.uploads.size(); ++i) {
            const gpu::Region& region = atlas.uploads[i].region;
            EXPECT_EQ(region.size.width * region.size.height * region.size.depth, side * side * side);
            EXPECT_EQ(region.origin.x % side + region.origin.y % side + region.origin.z % side, 0u);
            bytes += atlas.uploads[i].bytesPerImage * region.size.depth;
        }
        EXPECT_LE(bytes, budget);
        uploaded = atlas.uploads.size();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(pool.complete());
    // Zeros lie below the start-up window: only the atlas's zero slot and the base level go up.
    EXPECT_EQ(uploaded, 1 + pool.layout().brickCount(pool.layout().baseLevel()));
    // The atlas holds what went up, and at most one layer of slots more.
    const std::uint64_t layers = pool.atlas()->depth() / side;
    EXPECT_LT(pool.capacity() - pool.residentCount(), pool.capacity() / layers);
    const recording::TextureRecord grid = bed.device->texture(*bed.renderer->volumeState().brickTexture);
    EXPECT_EQ(grid.descriptor.mipmapLevelCount, grid.uploads.size());
}

// A failure while building the GPU objects, or a record without voxels, leaves a renderer
// that only clears: one log line that names the cause, frames that still clear the view,
// present and commit.
struct CreationFailure {
    const char* name;
    recording::Options options;
    const char* logged;
    bool voxels = true;
};

class RendererCreationFailure : public testing::TestWithParam<CreationFailure> {};

TEST_P(RendererCreationFailure, LogsTheCauseAndFramesShowOnlyTheClearColour) {
    RendererTestBed bed;
    bed.device->options() = GetParam().options;
    LogCapture capture;
    bed.create(GetParam().voxels ? testvolumes::sampleOfZeros() : testvolumes::sampleWithoutVoxels());
    if (!GetParam().voxels) {
        EXPECT_TRUE(bed.device->textures().empty());
    }
    std::optional<recording::Frame> frame;
    // Until the cause shows: at once, or once the base level's bricks are read and offered.
    const QString logged = QString::fromLatin1(GetParam().logged);
    for (int i = 0; i < 5000 && (i == 0 || capture.count(logged) == 0); ++i) {
        frame = bed.frame();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(capture.count(logged), 1) << capture.lines().join('\n').toStdString();

    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->passes, (std::vector<recording::Target>{{0, 64, 64}}));
    EXPECT_TRUE(frame->draws.empty());
    EXPECT_TRUE(frame->committed);
    EXPECT_EQ(bed.view.drawable.presented(), bed.frames);
}

INSTANTIATE_TEST_SUITE_P(
    , RendererCreationFailure,
    testing::Values(
        CreationFailure{"NoLibrary", {.libraryMissing = true}, "no default shader library"},
        CreationFailure{"NoVertexFunction", {.missingFunctions = {"vertexShader"}}, "lacks \"vertexShader\""},
        CreationFailure{
            "NoFragmentFunction", {.missingFunctions = {"fragmentShader"}}, "lacks \"fragmentShader\""},
        CreationFailure{"PipelineDoesNotLink",
                        {.pipelineError = "`tex' undeclared"},
                        "render pipeline cannot be built; only the clear colour will show: `tex' undeclared"},
        CreationFailure{"NoTexture", {.textureError = "out of memory"}, "cannot make the brick atlas"},
        CreationFailure{
            "AtlasAboveTextureLimit", {.maxTexture3DSize = 16}, "cannot hold the volume's coarsest level"},
        CreationFailure{"NoVoxelData", {}, "the volume is not shown: there is no voxel data", false}),
    [](const testing::TestParamInfo<CreationFailure>& row) { return std::string(row.param.name); });

TEST(RendererCreation, ViewWithoutDeviceGivesARendererThatDrawsNothing) {
    RendererTestBed bed;
    bed.view.gpu = nullptr;
    LogCapture capture;
    bed.create();
    EXPECT_EQ(capture.count(QStringLiteral("no GPU device")), 1);
    EXPECT_FALSE(bed.frame());
    EXPECT_EQ(bed.renderer->ww(), 1384);
}

auto statistics(const SampleStatistics::Summary& s) {
    return std::tuple(s.min, s.max, s.lowPercentile, s.highPercentile);
}

void expectSameContents(const PreparedSample::Contents& actual, const PreparedSample::Contents& expected) {
    ASSERT_TRUE(actual.survey.bricks && expected.survey.bricks);
    for (std::size_t level = 0; level < BrickGrid::kLevels; ++level) {
        EXPECT_EQ(actual.survey.bricks->level(level).maxima, expected.survey.bricks->level(level).maxima);
    }
    EXPECT_EQ(statistics(actual.survey.texels), statistics(expected.survey.texels));
    ASSERT_EQ(actual.baseBricks.size(), expected.baseBricks.size());
    for (std::size_t i = 0; i < actual.baseBricks.size(); ++i) {
        EXPECT_EQ(actual.baseBricks[i].key, expected.baseBricks[i].key);
        EXPECT_TRUE(actual.baseBricks[i].texels == expected.baseBricks[i].texels) << "brick " << i;
    }
}

// The renderer starts on the built-in sample with what the build prepared: its base level
// is in the atlas before the first frame, and the grid, statistics and base bricks are
// what the sample's voxels give.
TEST(PreparedSample, TheSampleStartsDrawableWithWhatItsOwnVoxelsGive) {
    const std::shared_ptr<const VolumeData> sample =
        VolumeData::initWithBundle(Bundle(VOXVIEW_RESOURCES_DIR));
    RendererTestBed bed;
    bed.create(sample);
    ASSERT_TRUE(bed.renderer->brickPool());
    EXPECT_TRUE(bed.renderer->brickPool()->drawable());
    const VolumeState volume = bed.renderer->volumeState();
    ASSERT_TRUE(volume.texels);

    const std::array<std::uint64_t, 3> size{sample->width(), sample->height(), sample->depth()};
    const BrickLayout& layout = bed.renderer->brickPool()->layout();
    const std::optional<PreparedSample::Contents> built = PreparedSample::read(
        PreparedSample::besideData(sample->dataPath()), size, sample->data().size(), layout);
    ASSERT_TRUE(built);
    expectSameContents({{volume.bricks, *volume.texels}, built->baseBricks},
                       PreparedSample::prepare(sample->data(), size, layout));
}

// What was prepared is used only for the volume and bricks it was made of: another size,
// other data, another brick side, a file cut short, lengthened or not prepared by us leave
// the volume to be surveyed and read from its voxels.
TEST(PreparedSample, IsReadBackOnlyWhenWholeAndMadeOfTheVolumeAtHand) {
    const std::array<std::uint64_t, 3> size{37, 20, 11};
    const VolumeRecord record =
        testvolumes::record(37, 20, 11, [](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
            return static_cast<std::uint16_t>((x * 977 + y * 131 + z * 7919) % 4096);
        });
    const BrickLayout layout(size, 8);
    const PreparedSample::Contents made = PreparedSample::prepare(record.data, size, layout);
    QTemporaryDir folder;
    const QString path = folder.filePath("volume.prepared");
    ASSERT_EQ(PreparedSample::write(path, made, size, record.data.size(), layout), std::nullopt);
    const std::optional<PreparedSample::Contents> readBack =
        PreparedSample::read(path, size, record.data.size(), layout);
    ASSERT_TRUE(readBack);
    expectSameContents(*readBack, made);

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    file.close();
    QByteArray notPrepared = written;
    notPrepared[0] = 'X';
    const std::uint64_t bytes = record.data.size();
    const std::tuple<QByteArray, std::array<std::uint64_t, 3>, std::uint64_t, std::uint64_t> cases[] = {
        {written, {37, 20, 12}, bytes, 8},    {written, size, bytes + 2, 8},    {written, size, bytes, 16},
        {written.chopped(1), size, bytes, 8}, {written + '\0', size, bytes, 8}, {notPrepared, size, bytes, 8},
    };
    for (const auto& [content, otherSize, otherBytes, brickSide] : cases) {
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        file.close();
        EXPECT_EQ(PreparedSample::read(path, otherSize, otherBytes, BrickLayout(otherSize, brickSide)),
                  std::nullopt)
            << "size " << otherSize[2] << ", data " << otherBytes << ", side " << brickSide << ", "
            << content.size() << " bytes";
    }
}

// Every value from `first` on, shuffled, in two slabs as the upload hands them over.
SampleStatistics::Summary summaryOf(std::uint16_t first, std::uint64_t count) {
    std::vector<std::uint16_t> texels(count);
    for (std::uint64_t i = 0; i < count; ++i)
        texels[i] = static_cast<std::uint16_t>(first + i % (UINT16_MAX - first + 1));
    std::shuffle(texels.begin(), texels.end(), std::mt19937(7));
    SampleStatistics statistics(count);
    const std::uint64_t half = count / 2;
    statistics.addTexels(reinterpret_cast<const std::byte*>(texels.data()), half);
    statistics.addTexels(reinterpret_cast<const std::byte*>(texels.data() + half), count - half);
    return statistics.summary();
}

TEST(SampleStatistics, ExtremesAreExactAndPercentilesCutTheOutermostHundredths) {
    // 10000 texels 5 … 10004: 1 % of them lie below 105, 1 % above 9904.
    const SampleStatistics::Summary small = summaryOf(5, 10000);
    EXPECT_EQ(std::tuple(small.min, small.max, small.lowPercentile, small.highPercentile),
              std::tuple(5, 10004, 105, 9905));
    // Above kHistogramSamples texels the percentiles come from a subsample; the extremes do not.
    const SampleStatistics::Summary large = summaryOf(0, 3 * SampleStatistics::kHistogramSamples + 1);
    EXPECT_EQ(std::tuple(large.min, large.max), std::tuple(0, UINT16_MAX));
    EXPECT_NEAR(large.lowPercentile, 655, 40);
    EXPECT_NEAR(large.highPercentile, 64880, 40);
}

} // namespace
