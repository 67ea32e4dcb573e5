#include "volume/dicom/DicomFileCheck.h"

#include "DicomTestSeries.h"
#include "VolumeFileWriters.h"
#include "volume/dicom/DicomSeriesScanner.h"

#include <QtEndian>
#include <functional>
#include <gtest/gtest.h>

// Damaged copies of files written by GDCM, as a disk, a copy or a careless tool leaves
// them. Handed to GDCM unchecked, those cut short, with a broken meta group, an
// overwritten length, deep sequences or functional groups without an orientation stop
// the process with an assertion inside GDCM.
namespace {

using Verdict = DicomFileCheck::Verdict;

constexpr qsizetype kGroupLengthValue = 140; // (0002,0000) UL after "DICM" and its header
constexpr qsizetype kVersionLength = 152;    // (0002,0001) OB: tag, VR, 2 reserved, length

qsizetype metaEnd(const QByteArray& file) {
    return kGroupLengthValue + 4 + qFromLittleEndian<quint32>(file.constData() + kGroupLengthValue);
}

void putLength(QByteArray& file, qsizetype at, quint32 length) {
    qToLittleEndian(length, file.data() + at);
}

// Damage that writes a 16-bit value `offset` bytes into the explicit VR element (group,
// element) of that VR.
std::function<void(QByteArray&)> putShort(quint16 group, quint16 element, const char* vr, int offset,
                                          quint16 value) {
    return [=](QByteArray& f) {
        qToLittleEndian(value, f.data() + dicomElementAt(f, group, element, vr) + offset);
    };
}

// A sequence of undefined length in an item of undefined length, 17 deep.
QByteArray nestedSequences() {
    QByteArray nest;
    for (int depth = 0; depth <= DicomFileCheck::kMaxDepth; ++depth)
        nest += QByteArray("\x08\x00\x40\x11SQ\0\0\xff\xff\xff\xff\xfe\xff\x00\xe0\xff\xff\xff\xff", 20);
    return nest;
}

const DicomTestSeries kSlice{.depth = 1};
const DicomTestSeries kFrames{.multiFrame = true}; // an enhanced CT file with functional groups
const DicomTestSeries kRle{.depth = 1, .syntax = gdcm::TransferSyntax::RLELossless};

const struct {
    const DicomTestSeries& written; // its first file is damaged
    std::function<void(QByteArray&)> damage;
    const char* reason;
    Verdict verdict = Verdict::Damaged;
} kCases[] = {
    {kSlice, [](QByteArray&) {}, "", Verdict::Sound},
    {kSlice, [](QByteArray& f) { f.truncate(metaEnd(f)); }, "ends after its file meta information"},
    // A meta element of undefined length.
    {kSlice, [](QByteArray& f) { putLength(f, kVersionLength, 0xffffffff); },
     "a sequence or an undefined length"},
    // A sequence in the meta group.
    {kSlice, [](QByteArray& f) { f.replace(kVersionLength - 4, 2, "SQ"); },
     "(0002,0001) is stored as SQ where the standard has OB"},
    {kSlice, [](QByteArray& f) { putLength(f, kVersionLength, 0x7fffffff); }, "element (0002,0001) runs"},
    // The meta group's length off by two.
    {kSlice,
     [](QByteArray& f) { putLength(f, kGroupLengthValue, quint32(metaEnd(f) - kGroupLengthValue - 2)); },
     "its group length says"},
    {kSlice, [](QByteArray& f) { f.truncate(metaEnd(f) + 6); }, "cut short inside an element's header"},
    {kSlice, [](QByteArray& f) { f.replace(dicomElementAt(f, 0x0008, 0x0060, "CS") + 4, 2, "ZZ"); },
     "(0008,0060) has no known value representation"},
    // A short length overwritten.
    {kSlice, putShort(0x0008, 0x0060, "CS", 6, 0xfff0), "element (0008,0060) runs"},
    {kSlice, putShort(0x0028, 0x0010, "US", 8, 600),
     "pixel data holds 96 bytes, fewer than its 8 x 600 pixels"},
    // GDCM asserts on any count of samples but 1, 3 and 4.
    {kSlice, putShort(0x0028, 0x0002, "US", 8, 2),
     "it gives 2 samples per pixel, where images have 1, 3 or 4"},
    {kSlice, putShort(0x0028, 0x0002, "US", 8, 254), "it gives 254 samples per pixel"},
    {kSlice, [](QByteArray& f) { f.insert(metaEnd(f), nestedSequences()); }, "nest more than 16 deep"},
    {kFrames, putShort(0x0020, 0x0037, "DS", 2, 0x0038), "measure the pixels but give no Image Orientation"},
    {kRle,
     [](QByteArray& f) { putLength(f, f.indexOf(QByteArray("\xfe\xff\x00\xe0", 4), metaEnd(f)) + 16, 0); },
     "an RLE frame of its pixel data has 0 segments"},
    // GDCM reads a cut-short name as palette colour and asserts that the colour table is there.
    {kSlice, [](QByteArray& f) { f.replace(f.indexOf("MONOCHROME2 "), 12, "PALETTE COL "); },
     "is a palette-colour image", Verdict::Foreign},
    {kSlice, [](QByteArray& f) { f.replace(128, 4, "DICX"); }, "is not a DICOM file", Verdict::Foreign},
};

TEST(DicomFileCheck, RefusesDamagedCopiesWithTheirFault) {
    TestFolder folder;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.reason);
        QByteArray damaged = readFile(c.written.write(folder.dir().path()).front());
        c.damage(damaged);
        const DicomFileCheck::Result result = DicomFileCheck::check(folder.write("IM0001.dcm", damaged));
        EXPECT_EQ(result.verdict, c.verdict);
        EXPECT_TRUE(result.reason.contains(c.reason)) << result.reason.toStdString();
        // The scan never hands a damaged file to GDCM: it refuses with the same reason.
        if (c.verdict == Verdict::Damaged) {
            EXPECT_EQ(reasonOf(DicomSeriesScanner::scan(folder.path("IM0001.dcm"))),
                      result.reason.toStdString());
        }
    }
}

} // namespace
