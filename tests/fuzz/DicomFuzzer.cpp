// Two ways into the DICOM import, chosen by the input's first byte (even: a file, odd: a
// stack of header values):
//
// - A file: the bytes after the first become one file in a folder of its own, checked,
//   scanned and read as the import does (DicomFileCheck, GDCM's scanner and decoder, our
//   checks of sizes, rescale and pixel format). Any bytes give a volume of exactly the
//   promised size with a usable spacing, value map and window, or a refusal: never an
//   abort inside GDCM, a crash or an overflow. GDCM's codecs can abort on damaged
//   compressed pixel data, which no check short of decoding it foresees: compressed files
//   are checked and scanned, but only native pixel data is decoded, so that no run,
//   whatever its random seed, stops inside a codec.
// - A stack: the bytes choose the header values of a few slices (sizes, frames, Image
//   Position and Orientation, rescale, bits), built around an even stack so that the
//   fuzzer reaches both refusals and accepted stacks, with values at the edge (NaN,
//   infinities, 0, huge, tiny) as likely as ordinary ones. DicomSliceOrder orders them
//   (an accepted stack orders every slice once, at a spacing the record can carry), and
//   the reader's checks of a series take them up to the first file, which does not exist.

#include "ImportPromises.h"
#include "VolumeFileWriters.h"
#include "volume/dicom/DicomFileCheck.h"
#include "volume/dicom/DicomSeriesReader.h"
#include "volume/dicom/DicomSeriesScanner.h"
#include "volume/dicom/DicomSliceOrder.h"

#include <QtGlobal>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <limits>

namespace {

constexpr std::size_t kMaxSlices = 6;

void importFile(const std::uint8_t* data, std::size_t size) {
    static const TestFolder folder;
    folder.clear();
    const QString path = folder.write(QStringLiteral("IM0001.dcm"), data, size);
    const DicomFileCheck::Result checked = DicomFileCheck::check(path);
    const ImportResult<std::vector<DicomSeries>> scanned = DicomSeriesScanner::scan(path);
    checkPromise(checked.verdict == DicomFileCheck::Verdict::Sound ||
                     std::holds_alternative<ImportRefusal>(scanned),
                 "a file the check refuses is not scanned");
    if (const auto* refusal = std::get_if<ImportRefusal>(&scanned)) {
        checkPromise(!refusal->reason.isEmpty(), "a refusal gives its reason");
        return;
    }
    const std::vector<DicomSeries>& found = std::get<std::vector<DicomSeries>>(scanned);
    checkPromise(found.size() == 1 && found.front().slices.size() == 1,
                 "one file is one series of one slice");
    if (!checked.encapsulated)
        checkImport(DicomSeriesReader::read(found.front(), fuzzReadOptions()));
}

// The ordinary value (when the input runs out, too) or one at the edge.
double edgeOr(FuzzedDataProvider& in, double ordinary) {
    using Limits = std::numeric_limits<double>;
    static constexpr double kEdges[] = {Limits::quiet_NaN(), Limits::infinity(), -Limits::infinity(), 0.0,
                                        Limits::max(),       -Limits::max(),     Limits::denorm_min()};
    const int choice = in.ConsumeIntegralInRange(0, 11);
    if (choice >= 1 && choice <= static_cast<int>(std::size(kEdges)))
        return kEdges[choice - 1];
    if (choice == 8)
        return in.ConsumeFloatingPoint<double>();
    if (choice == 9)
        return ordinary * in.ConsumeFloatingPointInRange(-2.0, 2.0);
    return ordinary;
}

std::uint32_t countOr(FuzzedDataProvider& in, std::uint32_t ordinary) {
    static constexpr std::uint32_t kEdges[] = {0,     1,     2,
                                               65535, 65536, std::numeric_limits<std::uint32_t>::max()};
    return in.ConsumeBool() ? in.PickValueInArray(kEdges) : ordinary;
}

using Vector = std::array<double, 3>;

void importStack(FuzzedDataProvider& in) {
    static constexpr std::array<double, 6> kOrientations[] = {
        {1, 0, 0, 0, 1, 0}, {0.866025, 0.5, 0, -0.5, 0.866025, 0}, {1, 0, 0, 0, 0, -1}, {0, 0, 0, 0, 0, 0}};
    std::array<double, 6> cosines = in.PickValueInArray(kOrientations);
    for (double& cosine : cosines)
        cosine = edgeOr(in, cosine);
    const Vector normal{cosines[1] * cosines[5] - cosines[2] * cosines[4],
                        cosines[2] * cosines[3] - cosines[0] * cosines[5],
                        cosines[0] * cosines[4] - cosines[1] * cosines[3]};
    const Vector origin{edgeOr(in, -10.0), edgeOr(in, -20.0), edgeOr(in, 30.0)};
    const double spacing = edgeOr(in, 2.0);
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(1, kMaxSlices);

    DicomSeries series;
    series.uid = QStringLiteral("1.2.3");
    series.modality = QStringLiteral("CT");
    if (in.ConsumeBool())
        series.window = std::array<double, 2>{edgeOr(in, 40.0), edgeOr(in, 400.0)};
    DicomSlice first;
    first.columns = countOr(in, 8);
    first.rows = countOr(in, 6);
    first.frames = countOr(in, 1);
    first.bitsAllocated = countOr(in, 16);
    first.signedSamples = in.ConsumeBool();
    for (std::size_t i = 0; i < count; ++i) {
        DicomSlice slice = in.ConsumeBool() ? first
                                            : DicomSlice{.columns = countOr(in, first.columns),
                                                         .rows = countOr(in, first.rows),
                                                         .frames = countOr(in, first.frames)};
        slice.path = QStringLiteral("/nonexistent/voxview-fuzz/IM%1.dcm").arg(i);
        // Written in file order, or rotated, as scanners number slices either way.
        const double along = edgeOr(in, spacing * static_cast<double>((i + count / 2) % count));
        if (!in.ConsumeBool()) {
            Vector position;
            for (std::size_t axis = 0; axis < 3; ++axis)
                position[axis] = edgeOr(in, origin[axis] + along * normal[axis]);
            slice.position = position;
        }
        if (!in.ConsumeBool()) {
            std::array<double, 6> own = cosines;
            double& cosine = own[in.ConsumeIntegralInRange<std::size_t>(0, 5)];
            cosine = edgeOr(in, cosine);
            slice.orientation = own;
        }
        slice.slope = edgeOr(in, 1.0);
        slice.intercept = edgeOr(in, -1024.0);
        series.slices.push_back(slice);
    }

    const ImportResult<DicomStack> arranged = DicomSliceOrder::arrange(series.slices);
    if (const auto* stack = std::get_if<DicomStack>(&arranged)) {
        std::vector<std::size_t> order = stack->order;
        std::ranges::sort(order);
        checkPromise(order.size() == count, "every slice is ordered");
        for (std::size_t i = 0; i < count; ++i)
            checkPromise(order[i] == i, "every slice is ordered once");
        const auto carried = static_cast<float>(stack->spacing);
        checkPromise(std::isfinite(carried) && carried > 0.0f, "the slice spacing is positive and finite");
    } else {
        checkPromise(!std::get<ImportRefusal>(arranged).reason.isEmpty(), "a refusal gives its reason");
    }
    // No file of the stack exists: whatever the values, the read ends in a refusal.
    const ImportResult<VolumeRecord> read = DicomSeriesReader::read(series, fuzzReadOptions());
    checkPromise(std::holds_alternative<ImportRefusal>(read) &&
                     !std::get<ImportRefusal>(read).reason.isEmpty(),
                 "files that do not exist are refused");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    if (data[0] % 2 == 0) {
        importFile(data + 1, size - 1);
    } else {
        FuzzedDataProvider in(data + 1, size - 1);
        importStack(in);
    }
    return 0;
}
