#include "DicomSeriesReader.h"
#include "DicomSeriesScanner.h"
#include "DicomTestSeries.h"

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <numeric>

// DICOM series written by GDCM's writer, read back through the scanner and the reader
// as the import does.
namespace {

NrrdResult<NRRDfmt> readFolder(const QString& path) {
    const NrrdResult<std::vector<DicomSeries>> scanned = DicomSeriesScanner::scan(path);
    if (const auto* refusal = std::get_if<NrrdRefusal>(&scanned))
        return *refusal;
    EXPECT_EQ(std::get<std::vector<DicomSeries>>(scanned).size(), 1u);
    return DicomSeriesReader::read(std::get<std::vector<DicomSeries>>(scanned).front());
}

// The value the viewer shows for a voxel, in the file's units.
double valueAt(const NRRDfmt& volume, std::size_t x, std::size_t y, std::size_t z) {
    std::uint16_t texel = 0;
    const std::size_t index = (z * volume.height + y) * volume.width + x;
    std::memcpy(&texel, volume.data.data() + index * sizeof texel, sizeof texel);
    return (texel + volume.sampleOffset) * volume.valueScale + volume.valueOffset;
}

struct ReadCase {
    const char* name;
    void (*adjust)(DicomTestSeries&);
    const char* note; // a note the record must carry, or nullptr for none
};

const ReadCase kReadCases[] = {
    {"plain signed CT", [](DicomTestSeries&) {}, nullptr},
    {"file names and instance numbers shuffled",
     [](DicomTestSeries& s) {
         s.fileNumbers = {3, 5, 1, 4, 2};
     },
     nullptr},
    {"written from the top down",
     [](DicomTestSeries& s) {
         s.positions = {8, 6, 4, 2, 0};
     },
     nullptr},
    {"unsigned, no intercept",
     [](DicomTestSeries& s) {
         s.signedSamples = false;
         s.intercept = 0;
     },
     nullptr},
    {"fractional slope", [](DicomTestSeries& s) { s.slope = 0.5, s.intercept = -1000.25; }, nullptr},
    {"JPEG lossless", [](DicomTestSeries& s) { s.syntax = gdcm::TransferSyntax::JPEGLosslessProcess14_1; },
     nullptr},
    {"JPEG-LS", [](DicomTestSeries& s) { s.syntax = gdcm::TransferSyntax::JPEGLSLossless; }, nullptr},
    {"JPEG 2000", [](DicomTestSeries& s) { s.syntax = gdcm::TransferSyntax::JPEG2000Lossless; }, nullptr},
    {"RLE", [](DicomTestSeries& s) { s.syntax = gdcm::TransferSyntax::RLELossless; }, nullptr},
    {"oblique", [](DicomTestSeries& s) { s.orientation = {0.866025, 0.5, 0, -0.5, 0.866025, 0}; }, "oblique"},
};

TEST(DicomSeries, ReadsEverySliceInPlaceWithItsValues) {
    for (const ReadCase& c : kReadCases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir folder;
        DicomTestSeries series;
        c.adjust(series);
        const QStringList files = series.write(folder.path());
        // Picking any one file opens the whole series.
        const NrrdResult<NRRDfmt> read = readFolder(files[2]);
        ASSERT_TRUE(std::holds_alternative<NRRDfmt>(read))
            << std::get<NrrdRefusal>(read).reason.toStdString();
        const NRRDfmt& volume = std::get<NRRDfmt>(read);
        EXPECT_EQ(volume.format, QStringLiteral("dicom"));
        EXPECT_EQ(volume.encoding,
                  QString::fromLatin1(gdcm::TransferSyntax::GetTSString(series.syntax)).trimmed());
        ASSERT_EQ(volume.data.size(), std::size_t(8 * 6 * 5 * 2));
        EXPECT_EQ(std::tuple(volume.width, volume.height, volume.depth), std::tuple(8u, 6u, 5u));
        EXPECT_FLOAT_EQ(volume.cellspaceX, 0.5f);
        EXPECT_FLOAT_EQ(volume.cellspaceY, 0.75f);
        EXPECT_NEAR(volume.cellspaceZ, 2.0f, 1e-4); // positions are written rounded
        EXPECT_TRUE(volume.hounsfield);
        ASSERT_TRUE(volume.fileWindow);
        EXPECT_EQ(std::pair(volume.fileWindow->level, volume.fileWindow->width), std::pair(40.0, 350.0));
        if (series.slope == 1.0) {
            EXPECT_EQ(std::pair(volume.valueScale, volume.valueOffset), std::pair(1.0, 0.0));
        }
        EXPECT_EQ(volume.notes.join(' ').contains(c.note ? c.note : "\x01"), c.note != nullptr)
            << volume.notes.join(' ').toStdString();

        // Slice k of the volume is the file with the k-th smallest position.
        std::vector<int> byPosition(5);
        std::iota(byPosition.begin(), byPosition.end(), 0);
        if (!series.positions.empty())
            std::ranges::sort(byPosition,
                              [&](int a, int b) { return series.positions[a] < series.positions[b]; });
        const double tolerance = volume.valueScale / 2 + 1e-9;
        for (std::size_t z = 0; z < 5; ++z)
            for (std::size_t y = 0; y < 6; ++y)
                for (std::size_t x = 0; x < 8; ++x)
                    ASSERT_NEAR(valueAt(volume, x, y, z),
                                series.stored(int(x), int(y), byPosition[z]) * series.slope +
                                    series.intercept,
                                tolerance)
                        << x << "," << y << "," << z;
    }
}

TEST(DicomSeries, RefusesStacksItWouldShowWrongly) {
    const struct {
        const char* name;
        void (*damage)(const QString& folder, const QStringList& files);
        std::vector<double> positions;
        const char* reason;
    } cases[] = {
        {"uneven", nullptr, {0, 2, 4, 7, 9}, "spacing is uneven: gaps range from 2 to 3 mm"},
        {"missing slice", nullptr, {0, 2, 4, 8, 10}, "Slices are missing between 34 and 38 mm"},
        {"two volumes", nullptr, {0, 2, 2, 4, 6}, "lie at the same position (32 mm)"},
        {"mixed sizes",
         [](const QString& folder, const QStringList&) {
             DicomTestSeries small;
             small.width = 4;
             small.depth = 1;
             small.fileNumbers = {9};
             small.origin[2] = 40;
             small.write(folder);
         },
         {},
         "differ in size: 4 x 6 (1 files), 8 x 6 (5 files)"},
        {"damaged slice",
         [](const QString&, const QStringList& files) {
             QFile file(files[3]);
             ASSERT_TRUE(file.open(QIODevice::ReadWrite));
             ASSERT_TRUE(file.resize(file.size() - 80)); // ends inside the pixel data
         },
         {},
         "IM0004.dcm: its pixel data is cut short"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir folder;
        DicomTestSeries series;
        series.positions = c.positions;
        const QStringList files = series.write(folder.path());
        if (c.damage)
            c.damage(folder.path(), files);
        const NrrdResult<NRRDfmt> read = readFolder(folder.path());
        ASSERT_TRUE(std::holds_alternative<NrrdRefusal>(read));
        EXPECT_TRUE(std::get<NrrdRefusal>(read).reason.contains(c.reason))
            << std::get<NrrdRefusal>(read).reason.toStdString();
    }
}

TEST(DicomSeries, AFolderListsItsSeriesAndAFileNamesItsOwn) {
    QTemporaryDir folder;
    DicomTestSeries head;
    const QStringList headFiles = head.write(folder.path());
    DicomTestSeries chest;
    chest.uid += QStringLiteral(".2");
    chest.description = QStringLiteral("Chest");
    chest.depth = 3;
    chest.fileNumbers = {11, 12, 13};
    chest.write(folder.path());
    QFile notes(folder.filePath(QStringLiteral("notes.txt")));
    ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
    notes.write("not an image\n");
    notes.close();

    const auto all = std::get<std::vector<DicomSeries>>(DicomSeriesScanner::scan(folder.path()));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(std::tuple(all[0].description, all[0].slices.size(), all[0].uid),
              std::tuple(chest.description, std::size_t(3), chest.uid));
    EXPECT_EQ(std::tuple(all[1].description, all[1].slices.size()),
              std::tuple(head.description, std::size_t(5)));

    const auto own = std::get<std::vector<DicomSeries>>(DicomSeriesScanner::scan(headFiles[0]));
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].uid, head.uid);
    EXPECT_TRUE(DicomSeriesScanner::isDicom(headFiles[0]));
    EXPECT_FALSE(DicomSeriesScanner::isDicom(notes.fileName()));
    EXPECT_TRUE(std::holds_alternative<NrrdRefusal>(DicomSeriesScanner::scan(notes.fileName())));
}

} // namespace
