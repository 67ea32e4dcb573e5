#include "DicomTestSeries.h"
#include "VolumeFileWriters.h"
#include "volume/core/VolumeFile.h"
#include "volume/dicom/DicomSliceOrder.h"

#include <QFile>
#include <QTemporaryDir>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>

// DICOM series written by GDCM's writer, read back as the import reads them.
namespace {

using TS = gdcm::TransferSyntax;

const struct {
    const char* name;
    DicomTestSeries series;
    const char* note;   // a note the record must carry, or nullptr for none
    const char* reason; // a part of the refusal; nullptr where the series is read
} kCases[] = {
    {"plain signed CT", {}, nullptr, nullptr},
    {"file names and instance numbers shuffled", {.fileNumbers = {3, 5, 1, 4, 2}}, nullptr, nullptr},
    {"written from the top down", {.positions = {8, 6, 4, 2, 0}}, nullptr, nullptr},
    {"unsigned, no intercept", {.intercept = 0, .signedSamples = false}, nullptr, nullptr},
    {"fractional slope", {.slope = 0.5, .intercept = -1000.25}, nullptr, nullptr},
    {"JPEG lossless", {.syntax = TS::JPEGLosslessProcess14_1}, nullptr, nullptr},
    {"JPEG-LS", {.syntax = TS::JPEGLSLossless}, nullptr, nullptr},
    {"JPEG 2000", {.syntax = TS::JPEG2000Lossless}, nullptr, nullptr},
    {"RLE", {.syntax = TS::RLELossless}, nullptr, nullptr},
    {"oblique", {.orientation = {0.866025, 0.5, 0, -0.5, 0.866025, 0}}, "oblique", nullptr},
    {"one multi-frame file", {.multiFrame = true}, "multi-frame", nullptr},
    {"gantry tilt", {.positions = {0, 2, 4, 6, 8}, .shear = 0.2}, "gantry tilt of 11.3°", nullptr},
    {"uneven", {.positions = {0, 2, 4, 7, 9}}, nullptr, "spacing is uneven: gaps range from 2 to 3 mm"},
    {"missing slice", {.positions = {0, 2, 4, 8, 10}}, nullptr, "Slices are missing between 34 and 38 mm"},
    {"two volumes", {.positions = {0, 2, 2, 4, 6}}, nullptr, "lie at the same position (32 mm)"},
    {"too far apart", {.positions = {0, 1e300, 2e300, 3e300, 4e300}}, nullptr, "lie 1e+300 mm apart"},
    {"mixed sizes", {}, nullptr, "differ in size: 4 x 6 (1 files), 8 x 6 (5 files)"},
    {"damaged slice", {}, nullptr, "IM0004.dcm: its pixel data is cut short"},
    // GDCM would read it as 1 mm.
    {"zero pixel spacing", {.spacingX = 0}, nullptr, "IM0001.dcm has a Pixel Spacing of 0.75\\0 mm"},
};

// Picking any one file of a series opens the whole series; a folder whose series would be
// shown wrongly is refused.
TEST(DicomSeries, ReadsEverySliceInPlaceWithItsValuesOrRefusesAStackItWouldShowWrongly) {
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir folder;
        const DicomTestSeries& series = c.series;
        const QStringList files = series.write(folder.path());
        if (c.name == std::string("mixed sizes"))
            DicomTestSeries{.width = 4, .depth = 1, .origin = {0, 0, 40}, .fileNumbers = {9}}.write(
                folder.path());
        if (c.name == std::string("damaged slice")) { // cut inside its pixel data
            ASSERT_TRUE(QFile::resize(files[3], QFile(files[3]).size() - 80));
        }
        if (c.reason) {
            EXPECT_THAT(reasonOf(VolumeFile::read(folder.path())), testing::HasSubstr(c.reason));
            continue;
        }
        const VolumeRecord volume = volumeOf(VolumeFile::read(files.last()));
        EXPECT_EQ(volume.encoding, QString::fromLatin1(TS::GetTSString(series.syntax)).trimmed());
        EXPECT_EQ(std::tuple(volume.width, volume.height, volume.depth), std::tuple(8u, 6u, 5u));
        EXPECT_EQ(std::pair(volume.cellspaceX, volume.cellspaceY), std::pair(0.5f, 0.75f));
        EXPECT_NEAR(volume.cellspaceZ, 2.0f, 1e-4); // positions are written rounded
        EXPECT_TRUE(volume.hounsfield);
        ASSERT_TRUE(volume.fileWindow);
        EXPECT_EQ(std::pair(volume.fileWindow->level, volume.fileWindow->width), std::pair(40.0, 350.0));
        EXPECT_EQ(volume.notes.join(' ').contains(c.note ? c.note : "\x01"), c.note != nullptr)
            << volume.notes.join(' ').toStdString();

        // Slice k of the volume is the file with the k-th smallest position.
        const bool topDown = !series.positions.empty() && series.positions[0] > series.positions[1];
        std::vector<double> expected;
        for (int z = 0; z < 5; ++z)
            for (int y = 0; y < 6; ++y)
                for (int x = 0; x < 8; ++x)
                    expected.push_back(series.stored(x, y, topDown ? 4 - z : z) * series.slope +
                                       series.intercept);
        const double tolerance = volume.valueScale / 2 + 1e-9;
        EXPECT_THAT(valuesOf(volume), testing::Pointwise(testing::DoubleNear(tolerance), expected));
    }
}

// A slice whose header cannot place it (the middle one of three here) is refused, not
// sorted by NaN.
TEST(DicomSeries, RefusesSlicesWhoseGeometryIsNotFiniteOrNotTwoUnitDirections) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        std::array<double, 6> orientation;
        std::array<double, 3> position;
        const char* reason;
    } cases[] = {{{nan, 0, 0, 0, 1, 0}, {0, 0, 1}, "Orientation (Patient) of nan\\0\\0\\0\\1\\0, not two"},
                 {{0, 0, 0, 0, 1, 0}, {0, 0, 1}, "Orientation (Patient) of 0\\0\\0\\0\\1\\0, not two"},
                 {{1, 0, 0, 0, 1, 0}, {0, nan, 1}, "Position (Patient) of 0\\nan\\1, not a finite position"}};
    for (const auto& c : cases) {
        const std::array<double, 6> axial{1, 0, 0, 0, 1, 0};
        const ImportResult<DicomStack> stack = DicomSliceOrder::arrange(
            {{.path = "IM1.dcm", .position = {{0, 0, 0}}, .orientation = axial},
             {.path = "IM2.dcm", .position = c.position, .orientation = c.orientation},
             {.path = "IM3.dcm", .position = {{0, 0, 2}}, .orientation = axial}});
        EXPECT_THAT(reasonOf(stack), testing::HasSubstr(std::string("IM2.dcm has an Image ") + c.reason));
    }
}

} // namespace
