#include "LogCapture.h"
#include "RendererTestBed.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

std::vector<std::byte> bytesOf(const ByteBuffer& buffer) {
    return {buffer.data(), buffer.data() + buffer.size()};
}

// Everything an import may change, to compare before and after a refused one.
struct Snapshot {
    std::int64_t wl, ww, clutmode;
    float zoom, xrot, yrot, zrot, xcept, xceptBtm, ycept, yceptBtm, zcept, zceptBtm;
    int textureId;
    std::uint64_t width, height, depth;
    float cellspaceX, cellspaceY, cellspaceZ;
    std::int32_t sampleOffset;

    static Snapshot of(const QVRenderer& r) {
        const QVRenderer::VolumeState v = r.volumeState();
        const auto* texture = dynamic_cast<const recording::Texture*>(v.texture.get());
        return {r.wl(),        r.ww(),
                r.clutmode(),  r.zoom(),
                r.xrot(),      r.yrot(),
                r.zrot(),      r.xcept(),
                r.xceptBtm(),  r.ycept(),
                r.yceptBtm(),  r.zcept(),
                r.zceptBtm(),  texture != nullptr ? texture->id() : 0,
                v.width,       v.height,
                v.depth,       v.cellspaceX,
                v.cellspaceY,  v.cellspaceZ,
                v.sampleOffset};
    }
    bool operator==(const Snapshot&) const = default;
};

// Moves every value an import resets away from its default.
void disturb(QVRenderer& r) {
    r.setWl(100);
    r.setWw(200);
    r.setClutmode(1);
    r.setZoom(0.5f);
    r.setXrot(0.1f);
    r.setYrot(0.2f);
    r.setZrot(0.3f);
    r.setXcept(0.9f);
    r.setXceptBtm(0.1f);
    r.setYcept(0.8f);
    r.setYceptBtm(0.2f);
    r.setZcept(0.7f);
    r.setZceptBtm(0.3f);
}

TEST(RendererImport, UploadsAnOddSizedVolumeWithoutRowPadding) {
    RendererTestBed bed;
    bed.create();
    const NRRDfmt record =
        testvolumes::record(3, 5, 7, [](auto x, auto y, auto z) { return x + 10 * y + 100 * z; });
    bed.log->clear();

    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&record));

    // One slab, then the brick grid: one brick of 8³ voxels, padded to 8³ bricks.
    EXPECT_EQ(
        bed.log->calls(),
        (Calls{
            "device.newTextureWithDescriptor(pixelFormat=23 type=7 size=3x5x7) = texture#1",
            "texture#1.replaceRegion(origin=0,0,0 size=3x5x7 level=0 slice=0 bytesPerRow=6 "
            "bytesPerImage=30)",
            "device.newTextureWithDescriptor(pixelFormat=23 type=7 size=8x8x8 levels=4) = texture#2",
            "texture#2.replaceRegion(origin=0,0,0 size=8x8x8 level=0 slice=0 bytesPerRow=16 "
            "bytesPerImage=128)",
            "texture#2.replaceRegion(origin=0,0,0 size=4x4x4 level=1 slice=0 bytesPerRow=8 bytesPerImage=32)",
            "texture#2.replaceRegion(origin=0,0,0 size=2x2x2 level=2 slice=0 bytesPerRow=4 bytesPerImage=8)",
            "texture#2.replaceRegion(origin=0,0,0 size=1x1x1 level=3 slice=0 bytesPerRow=2 bytesPerImage=2)",
        }));
    bed.renderer->adoptPostedVolume();
    const auto* texture = dynamic_cast<const recording::Texture*>(bed.renderer->volumeState().texture.get());
    ASSERT_NE(texture, nullptr);
    EXPECT_EQ(texture->uploaded(), bytesOf(record.data));
}

TEST(RendererImport, ThePostedVolumeAndItsDefaultsAreShownTogetherByTheNextFrame) {
    RendererTestBed bed;
    bed.create();
    bed.frame();
    const std::shared_ptr<const VolumeData> vdata = bed.renderer->vdata();
    const Uniforms uniforms = bed.renderer->uniforms();
    disturb(*bed.renderer);
    NRRDfmt record = testvolumes::record(4, 6, 8, [](auto, auto, auto) { return 7; });
    record.cellspaceX = 0.5f;
    record.cellspaceY = 0.75f;
    record.cellspaceZ = 2.5f;
    record.sampleOffset = -32768;
    record.data = ByteBuffer::fromByteArray(QByteArray(4 * 6 * 8 * 2 + 10, '\7')); // longer than needed
    const Snapshot before = Snapshot::of(*bed.renderer);
    bed.log->clear();

    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&record));

    // Posted, not shown: nothing the frames or the observers read has changed yet.
    const QVRenderer& r = *bed.renderer;
    EXPECT_TRUE(Snapshot::of(r) == before);
    EXPECT_EQ(std::memcmp(&r.uniforms(), &uniforms, sizeof(Uniforms)), 0);
    EXPECT_TRUE(bed.log->callsStartingWith("notify").empty());

    bed.frame();

    EXPECT_EQ(r.wl(), -10);
    EXPECT_EQ(r.ww(), 1300);
    EXPECT_EQ(r.clutmode(), 0);
    for (float value : {r.zoom(), r.xrot(), r.yrot(), r.zrot(), r.xceptBtm(), r.yceptBtm(), r.zceptBtm()}) {
        EXPECT_EQ(value, 0.0f);
    }
    for (float value : {r.xcept(), r.ycept(), r.zcept()}) {
        EXPECT_EQ(value, 1.0f);
    }
    const QVRenderer::VolumeState volume = r.volumeState();
    EXPECT_EQ(volume.width, 4u);
    EXPECT_EQ(volume.height, 6u);
    EXPECT_EQ(volume.depth, 8u);
    EXPECT_EQ(volume.cellspaceX, 0.5f);
    EXPECT_EQ(volume.cellspaceY, 0.75f);
    EXPECT_EQ(volume.cellspaceZ, 2.5f);
    EXPECT_EQ(volume.sampleOffset, -32768);
    EXPECT_EQ(r.vdata(), vdata);
    // The frame's own notifications only, with the new window.
    EXPECT_EQ(bed.log->callsStartingWith("notify"), (Calls{"notify ww", "notify wl"}));
    EXPECT_EQ(r.wlww().wl, -10);
    EXPECT_EQ(r.uniforms().sampleOffset, -32768);
}

struct Refusal {
    const char* name;
    std::uint32_t width, height, depth;
    qsizetype bytes; // -1: no data at all
    void (*arrange)(recording::Options&);
    const char* reason;
};

class RendererImportRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(RendererImportRefusal, RefusesWithAReasonAndKeepsTheCurrentVolume) {
    const Refusal& refusal = GetParam();
    RendererTestBed bed;
    bed.create();
    const NRRDfmt current = testvolumes::record(2, 3, 4, [](auto, auto, auto) { return 1; });
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&current));
    bed.renderer->adoptPostedVolume();
    disturb(*bed.renderer);
    const Snapshot before = Snapshot::of(*bed.renderer);
    refusal.arrange(bed.device->options());

    NRRDfmt record;
    record.width = refusal.width;
    record.height = refusal.height;
    record.depth = refusal.depth;
    record.cellspaceX = record.cellspaceY = record.cellspaceZ = 3.0f;
    if (refusal.bytes >= 0) {
        record.data = ByteBuffer::fromByteArray(QByteArray(refusal.bytes, '\1'));
    }
    LogCapture capture;
    QString reason;
    bed.log->clear();

    EXPECT_FALSE(bed.renderer->updateVolumeDataWithNRRDfmt(&record, &reason));

    EXPECT_TRUE(reason.contains(QString::fromLatin1(refusal.reason))) << reason.toStdString();
    ASSERT_EQ(capture.lines().size(), 1);
    EXPECT_TRUE(capture.lines().at(0).contains(reason));
    EXPECT_TRUE(Snapshot::of(*bed.renderer) == before);
    EXPECT_TRUE(bed.log->callsStartingWith("notify").empty());
    EXPECT_TRUE(bed.log->callsStartingWith("texture#1.release").empty());
}

void noFailure(recording::Options&) {}

INSTANTIATE_TEST_SUITE_P(
    , RendererImportRefusal,
    testing::Values(
        Refusal{"AbsentData", 2, 2, 2, -1, noFailure, "no voxel data"},
        Refusal{"ZeroWidth", 0, 2, 2, 16, noFailure, "not positive along every axis"},
        Refusal{"ZeroHeight", 2, 0, 2, 16, noFailure, "not positive along every axis"},
        Refusal{"ZeroDepth", 2, 2, 0, 16, noFailure, "not positive along every axis"},
        Refusal{"OneByteShort", 3, 5, 7, 209, noFailure, "holds 209 bytes but 3 x 5 x 7 voxels need 210"},
        Refusal{"EmptyData", 3, 5, 7, 0, noFailure, "holds 0 bytes"},
        // 2^32 - 1 per side: the byte count does not even fit in 64 bits.
        Refusal{"SizeBeyondAnyBuffer", 0xffffffffu, 0xffffffffu, 0xffffffffu, 16,
                [](recording::Options& o) { o.maxTexture3DSize = 0xffffffffu; },
                "too large to hold in memory"},
        Refusal{"AboveTextureLimit", 9, 2, 2, 72, [](recording::Options& o) { o.maxTexture3DSize = 8; },
                "the largest 3-D texture the GPU takes (8 voxels per side)"},
        Refusal{"TextureNotMade", 2, 2, 2, 16,
                [](recording::Options& o) { o.textureError = "out of memory"; },
                "cannot make a 2 x 2 x 2 texture: out of memory"},
        Refusal{"UploadFails", 2, 2, 2, 16, [](recording::Options& o) { o.uploadFails = true; },
                "could not be uploaded"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(RendererImport, RefusesAnAbsentRecord) {
    RendererTestBed bed;
    bed.create();
    QString reason;
    LogCapture capture;
    EXPECT_FALSE(bed.renderer->updateVolumeDataWithNRRDfmt(nullptr, &reason));
    EXPECT_FALSE(reason.isEmpty());
    EXPECT_EQ(capture.lines().size(), 1);
}

TEST(RendererImport, WorkerImportIsShownAndTheOldTextureReleasedByTheNextFrameAnUnshownOneIsDropped) {
    RendererTestBed bed;
    bed.create();
    const NRRDfmt first = testvolumes::sphere(8, 1000);
    const NRRDfmt dropped = testvolumes::sphere(4, 500);
    const NRRDfmt second = testvolumes::sphere(6, 2000);
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&first));
    bed.frame(); // keeps its image in texture#3

    bool accepted = false;
    std::thread worker([&] {
        accepted = bed.renderer->updateVolumeDataWithNRRDfmt(&dropped) &&
                   bed.renderer->updateVolumeDataWithNRRDfmt(&second);
    });
    worker.join();
    ASSERT_TRUE(accepted);
    EXPECT_EQ(bed.log->callsStartingWith("texture#4.release"), (Calls{"texture#4.release(worker thread)"}));
    EXPECT_TRUE(bed.log->callsStartingWith("texture#1.release").empty());
    EXPECT_EQ(bed.renderer->volumeState().width, 8u);

    bed.log->clear();
    bed.frame();
    // The first volume's texture and brick grid go; the frame draws the second's.
    EXPECT_EQ(bed.log->callsStartingWith("texture#1.release"), (Calls{"texture#1.release(GUI thread)"}));
    EXPECT_EQ(bed.log->callsStartingWith("texture#2.release"), (Calls{"texture#2.release(GUI thread)"}));
    const QVRenderer::VolumeState volume = bed.renderer->volumeState();
    EXPECT_EQ(bed.device->lastDraw().textureId,
              dynamic_cast<const recording::Texture&>(*volume.texture).id());
    EXPECT_EQ(bed.device->lastDraw().brickTextureId,
              dynamic_cast<const recording::Texture&>(*volume.brickTexture).id());
}

TEST(RendererImport, UpdateWithUrlOnlyLogsTwice) {
    RendererTestBed bed;
    bed.create();
    disturb(*bed.renderer);
    const Snapshot before = Snapshot::of(*bed.renderer);
    bed.log->clear();
    LogCapture capture;

    bed.renderer->updateVolumeDataWithURL(QStringLiteral("file:///tmp/volume.nrrd"));

    EXPECT_EQ(capture.lines(), (QStringList{QStringLiteral("updateVolumeDataWithURL@QVRenerer"),
                                            QStringLiteral("updateVolumeDataWithURL@QVRenerer")}));
    EXPECT_TRUE(Snapshot::of(*bed.renderer) == before);
    EXPECT_TRUE(bed.log->calls().empty());
}

TEST(RendererProperties, WindowSettersNotifyEveryCallOtherSettersNobody) {
    RendererTestBed bed;
    bed.create();
    bed.renderer->setWw(1384);
    bed.renderer->setWw(1384);
    bed.renderer->setWl(5);
    disturb(*bed.renderer); // ends with the eleven plain setters
    EXPECT_EQ(bed.log->callsStartingWith("notify"),
              (Calls{"notify ww", "notify ww", "notify wl", "notify wl", "notify ww"}));
    EXPECT_EQ(bed.renderer->wl(), 100);
    EXPECT_EQ(bed.renderer->ww(), 200);
}

} // namespace
