#include "render/slice/SliceSampler.h"

#include "TestVolumes.h"
#include "render/slice/SliceColouring.h"
#include "render/slice/SliceLabels.h"
#include "render/slice/SliceLoader.h"
#include "render/slice/SliceResampler.h"
#include "volume/core/VolumeSource.h"

#include <QStringList>
#include <QTest>
#include <cmath>
#include <gtest/gtest.h>
#include <numbers>

namespace {

// An anisotropic volume whose every sample tells where it lies.
constexpr VolumeExtent kExtent{20, 30, 40};
std::uint16_t sampleAt(std::uint64_t x, std::uint64_t y, std::uint64_t z) {
    return static_cast<std::uint16_t>(x + 32 * y + 1024 * z);
}
DecodedVolumeSource source() {
    VolumeRecord volume = testvolumes::record(kExtent[0], kExtent[1], kExtent[2], sampleAt);
    return {std::move(volume.data), kExtent[0], kExtent[1]};
}

// Each axis's picture: x across axial and coronal slices, y across sagittal ones; rows down
// y in axial slices, up z in the others. Slices at the volume's ends and either side of a
// brick border (every 8 voxels) read exactly the samples there.
TEST(SliceSampler, EachAxisReadsTheSamplesOfItsSliceInPictureOrderExactly) {
    const auto last = [](int axis) { return kExtent[axis] - 1; };
    const struct {
        SliceAxis axis;
        std::uint64_t width, height;
        std::function<std::uint16_t(std::uint64_t index, std::uint64_t column, std::uint64_t row)> expected;
    } cases[] = {
        {SliceAxis::Axial, 20, 30, [](auto k, auto c, auto r) { return sampleAt(c, r, k); }},
        {SliceAxis::Coronal, 20, 40, [&](auto k, auto c, auto r) { return sampleAt(c, k, last(2) - r); }},
        {SliceAxis::Sagittal, 30, 40, [&](auto k, auto c, auto r) { return sampleAt(k, c, last(2) - r); }},
    };
    const DecodedVolumeSource volume = source();
    for (const auto& row : cases) {
        const SliceGeometry geometry(row.axis, kExtent);
        for (std::uint64_t index :
             {std::uint64_t{0}, std::uint64_t{7}, std::uint64_t{8}, geometry.slices() - 1}) {
            SCOPED_TRACE(SliceGeometry::name(row.axis).toStdString() + " " + std::to_string(index));
            const auto sampled = SliceSampler::sample(volume, kExtent, {row.axis, index});
            ASSERT_TRUE(std::holds_alternative<SliceImage>(sampled))
                << std::get<QString>(sampled).toStdString();
            const SliceImage& slice = std::get<SliceImage>(sampled);
            ASSERT_EQ(slice.width, row.width);
            ASSERT_EQ(slice.height, row.height);
            for (std::uint64_t r = 0; r < slice.height; ++r)
                for (std::uint64_t c = 0; c < slice.width; ++c) {
                    ASSERT_EQ(slice.at(c, r), row.expected(index, c, r)) << c << ", " << r;
                    // The status line names the voxel a pixel shows.
                    const VoxelPoint voxel = geometry.voxel(index, c, r);
                    ASSERT_EQ(sampleAt(voxel[0], voxel[1], voxel[2]), slice.at(c, r));
                }
        }
    }
}

// The volume above with a coarse level 1 of its own (as a store holds one), halving the axes
// `shifts` names: texels that tell where they lie, unlike any mean of level 0.
class WithLevelOne final : public VolumeSource {
  public:
    explicit WithLevelOne(LevelShifts shifts) : m_shifts(shifts) {}
    static std::uint16_t at(std::uint64_t x, std::uint64_t y, std::uint64_t z) {
        return static_cast<std::uint16_t>(50000 + x + 11 * y + 171 * z);
    }
    bool readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                 std::uint16_t* out) const override {
        return m_levelZero.readRow(x, y, z, count, out);
    }
    std::uint32_t storedLevels() const override { return 1; }
    LevelShifts levelShifts(std::uint32_t level) const override {
        return level == 0 ? LevelShifts{} : m_shifts;
    }
    bool readLevelRows(std::uint32_t level, std::uint64_t x, std::uint64_t y, std::uint64_t z,
                       std::uint64_t count, std::uint64_t rows, std::uint16_t* out) const override {
        for (std::uint64_t row = 0; row < rows; ++row)
            for (std::uint64_t i = 0; i < count; ++i)
                *out++ = at(x + i, y + row, z);
        return level == 1;
    }

  private:
    LevelShifts m_shifts;
    DecodedVolumeSource m_levelZero = source();
};

// A slice asked for at level 1 is that level's slice through the level-0 index, in picture
// order, a slab of it as many of its slices as the level-0 slab spans; no deeper level exists.
// A level that keeps z (a store halving x and y alone) has every slice of level 0.
TEST(SliceSampler, ASliceAtACoarseLevelIsReadFromThatLevel) {
    for (const VolumeSource::LevelShifts shifts :
         {VolumeSource::LevelShifts{1, 1, 1}, VolumeSource::LevelShifts{1, 1, 0}}) {
        const WithLevelOne volume(shifts);
        const VolumeExtent coarse = levelVoxels(kExtent, shifts);
        for (const SliceAxis axis : SliceGeometry::kAxes) {
            SCOPED_TRACE(SliceGeometry::name(axis).toStdString() + " halved " + std::to_string(shifts[2]));
            const SliceGeometry geometry(axis, coarse);
            const std::uint32_t across = shifts[SliceGeometry::across(axis)];
            const std::uint64_t index =
                ((geometry.slices() - 2) << across) + across; // its slice slices() - 2
            for (const std::uint64_t slab : {std::uint64_t{1}, std::uint64_t{4}}) {
                const auto sampled = SliceSampler::sample(
                    volume, kExtent, {axis, index, slab, SlabMode::Mip, std::uint32_t{1}});
                ASSERT_TRUE(std::holds_alternative<SliceImage>(sampled))
                    << std::get<QString>(sampled).toStdString();
                const SliceImage& slice = std::get<SliceImage>(sampled);
                ASSERT_EQ(slice.width, geometry.columns());
                ASSERT_EQ(slice.height, geometry.rows());
                // A slab of 4 level-0 slices is 2 of level 1: those at slices() - 2 and - 1.
                const std::uint64_t deepest = geometry.slices() - (slab == 1 ? 2 : 1);
                for (std::uint64_t r = 0; r < slice.height; ++r)
                    for (std::uint64_t c = 0; c < slice.width; ++c) {
                        const VoxelPoint voxel = geometry.voxel(deepest, c, r);
                        ASSERT_EQ(slice.at(c, r), WithLevelOne::at(voxel[0], voxel[1], voxel[2]))
                            << c << ", " << r;
                    }
            }
        }
        EXPECT_TRUE(std::holds_alternative<QString>(SliceSampler::sample(
            volume, kExtent, {SliceAxis::Axial, 0, 1, SlabMode::Mip, std::uint32_t{2}})));
    }
}

// A block of sagittal slices, read together as a viewer stepping across x keeps them, holds
// each slice as read alone; the block stops at the volume's end.
TEST(SliceSampler, ABlockOfSagittalSlicesHoldsEachAsReadAlone) {
    const DecodedVolumeSource volume = source();
    const auto block = SliceSampler::sampleSagittalBlock(volume, kExtent, 16, 8);
    const auto& slices = std::get<std::vector<SliceImage>>(block);
    ASSERT_EQ(slices.size(), 4u);
    for (const SliceImage& slice : slices) {
        const auto alone = SliceSampler::sample(volume, kExtent, slice.request);
        EXPECT_EQ(slice.texels, std::get<SliceImage>(alone).texels) << slice.request.index;
    }
}

// Samples rise with z: a slab's maximum is its last slice, its minimum its first, its mean
// its middle one; at the volume's end only the slices inside it count.
// The loader keeps a block of sagittal slices for the steps across x; once a slice of another
// volume is asked for, it lets go of the replaced volume's source.
TEST(SliceLoader, LetsGoOfTheVolumeReplacedOnceASliceOfAnotherIsAsked) {
    SliceLoader loader;
    int arrived = 0;
    QObject::connect(&loader, &SliceLoader::loaded,
                     [&](const std::shared_ptr<const SliceImage>&) { ++arrived; });
    auto replaced = std::make_shared<const DecodedVolumeSource>(source());
    const std::weak_ptr<const VolumeSource> watched = replaced;
    loader.request(std::move(replaced), kExtent, {SliceAxis::Sagittal, 3});
    ASSERT_TRUE(QTest::qWaitFor([&] { return arrived == 1 && loader.idle(); }));
    EXPECT_FALSE(watched.expired());
    loader.request(std::make_shared<const DecodedVolumeSource>(source()), kExtent, {SliceAxis::Axial, 3});
    ASSERT_TRUE(QTest::qWaitFor([&] { return arrived == 2 && loader.idle(); }));
    EXPECT_TRUE(watched.expired());
}

TEST(SliceSampler, SlabsTakeTheMaximumMinimumOrMeanOfTheSlicesInsideTheVolume) {
    const struct {
        SlabMode mode;
        std::uint64_t index, slices, expectedZ;
    } cases[] = {
        {SlabMode::Mip, 10, 5, 12},   {SlabMode::Minip, 10, 5, 8}, {SlabMode::Average, 10, 5, 10},
        {SlabMode::Average, 0, 5, 1}, {SlabMode::Mip, 39, 4, 39},  {SlabMode::Minip, 39, 4, 38},
    };
    const DecodedVolumeSource volume = source();
    for (const auto& row : cases) {
        const auto sampled =
            SliceSampler::sample(volume, kExtent, {SliceAxis::Axial, row.index, row.slices, row.mode});
        const SliceImage& slice = std::get<SliceImage>(sampled);
        EXPECT_EQ(slice.at(3, 4), sampleAt(3, 4, row.expectedZ)) << row.index << " of " << row.slices;
    }
    EXPECT_EQ(SliceSampler::slabSlices(5.0, 2.0), 3u); // 2.5 slices of 2 mm round up
    EXPECT_EQ(SliceSampler::slabSlices(0.0, 2.0), 1u);
}

// The grey map lies across the window as the shader reads it: black at the floor and below,
// white at the top and above, linear between; a width under one raw unit is one.
// An axial slice's edges name the sides the patient lies toward; an oblique one the sides it
// leans toward too, the nearest first, once it leans far enough to matter.
TEST(SliceLabels, EdgesOfAnObliqueSliceNameEverySideItLeansToward) {
    const auto turnedAboutZ = [](double degrees) {
        const double c = std::cos(degrees * std::numbers::pi / 180.0);
        const double s = std::sin(degrees * std::numbers::pi / 180.0);
        return *PatientOrientation::fromVectors({{{c, s, 0}, {-s, c, 0}, {0, 0, 1}}});
    };
    const struct {
        double degrees;
        const char* edges; // left, right, top, bottom
    } kCases[] = {{0, "R L A P"}, {5, "R L A P"}, {30, "RA LP AL PR"}, {-30, "RP LA AR PL"}};
    for (const auto& c : kCases) {
        const std::optional<SliceEdges> edges =
            SliceLabels(SliceAxis::Axial, turnedAboutZ(c.degrees)).edges();
        ASSERT_TRUE(edges);
        EXPECT_EQ((QStringList{edges->left, edges->right, edges->top, edges->bottom}.join(' ')).toStdString(),
                  c.edges)
            << c.degrees << "°";
    }
}

TEST(SliceColouring, GreyFollowsTheWindowThroughTheSampleOffset) {
    const struct {
        std::int64_t level, width;
        std::int32_t offset;
    } windows[] = {{1000, 400, 0}, {-200, 1000, -1024}, {500, 0, 0}};
    for (const auto& window : windows) {
        const SliceColouring colouring({window.level, window.width, window.offset},
                                       ColourMap::blackAndWhite());
        const double width = std::max<double>(window.width, 1.0);
        for (int texel = 0; texel < 4000; texel += 7) {
            const double value = texel + window.offset;
            const double expected =
                255.0 * std::clamp((value - (window.level - width / 2)) / width, 0.0, 1.0);
            const QRgb colour = colouring.colour(static_cast<std::uint16_t>(texel));
            ASSERT_NEAR(qRed(colour), expected, 1.0)
                << texel << " in " << window.level << "/" << window.width;
            ASSERT_EQ(qRed(colour), qGreen(colour));
        }
    }
}

// A 4 × 3 slice rising 100 a column and 40 a row, 16 view pixels a texel: blending values is
// exact on a plane, so each pixel shows the windowed value at its centre (held at the outer
// texel centres), white past a window top inside the ramp where blended colours would grey.
TEST(SliceResampler, BlendsTheValuesBetweenTexelCentresThenColoursThem) {
    SliceImage slice{{}, 4, 3, {}};
    for (int texel = 0; texel < 12; ++texel)
        slice.texels.push_back(static_cast<std::uint16_t>(100 * (texel % 4) + 40 * (texel / 4)));
    SliceResampler resampler;
    for (const auto& [level, width] : {std::pair<std::int64_t, std::int64_t>{190, 380}, {75, 150}}) {
        const SliceColouring colouring({level, width, 0}, ColourMap::blackAndWhite());
        const QImage& view = resampler.resample(slice, colouring, QRectF(8, 0, 64, 48), QSize(80, 56), 1.0);
        for (int y = 0; y < view.height(); ++y)
            for (int x = 0; x < view.width(); ++x) {
                const double column = (x + 0.5 - 8.0) / 16.0;
                const double row = (y + 0.5) / 16.0;
                const double value =
                    100.0 * std::clamp(column - 0.5, 0.0, 3.0) + 40.0 * std::clamp(row - 0.5, 0.0, 2.0);
                const bool inside = column >= 0.0 && column < 4.0 && row < 3.0;
                const double grey =
                    inside ? 255.0 * std::clamp((value - level) / width + 0.5, 0.0, 1.0) : 0.0;
                ASSERT_NEAR(qRed(view.pixel(x, y)), grey, inside ? 1.0 : 0.0)
                    << x << ", " << y << " in " << level;
            }
    }
}

// Shrunk, a pixel takes the mean of the texels it covers: a bright line every fourth texel
// shows as a quarter of its value, where the two texels around a pixel's centre would miss
// every line; a footprint reaching past the slice's edge takes the texels it covers alone.
TEST(SliceResampler, ShrunkPixelsAverageTheTexelsTheyCover) {
    SliceImage slice{{}, 64, 4, {}};
    for (std::uint64_t texel = 0; texel < 64 * 4; ++texel)
        slice.texels.push_back(texel % 4 == 0 ? 1000 : 0);
    SliceResampler resampler;
    const SliceColouring colouring({500, 1000, 0}, ColourMap::blackAndWhite());
    const struct {
        QRectF placement;
        std::vector<double> values; // of the first pixels, left to right
    } cases[] = {
        {QRectF(0, 0, 16, 1), {250, 250, 250}},
        // Six texels a pixel, the slice starting half a pixel in: the first pixel covers
        // texels [0, 3) only, the next ones [3, 9), [9, 15) and [15, 21).
        {QRectF(0.5, 0, 64.0 / 6.0, 1), {1000.0 / 3.0, 1000.0 / 3.0, 1000.0 / 6.0, 1000.0 / 3.0}},
    };
    for (const auto& c : cases) {
        const QImage& view = resampler.resample(slice, colouring, c.placement, QSize(16, 1), 1.0);
        for (std::size_t x = 0; x < c.values.size(); ++x) {
            const double grey = 255.0 * std::clamp((c.values[x] - 500.0) / 1000.0 + 0.5, 0.0, 1.0);
            EXPECT_NEAR(qRed(view.pixel(static_cast<int>(x), 0)), grey, 1.0)
                << x << " of " << c.placement.width();
        }
    }
}

} // namespace
