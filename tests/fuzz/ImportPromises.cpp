#include "ImportPromises.h"

#include "volume/core/VolumeSize.h"

#include <QtGlobal>
#include <cmath>
#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

void checkPromise(bool condition, const char* promise) {
    if (condition)
        return;
    std::fprintf(stderr, "Broken promise: %s\n", promise);
    __builtin_trap();
}

void checkImport(const ImportResult<VolumeRecord>& volume) {
    if (const auto* refusal = std::get_if<ImportRefusal>(&volume)) {
        checkPromise(!refusal->reason.isEmpty(), "a refusal gives its reason");
        return;
    }
    const VolumeRecord& record = std::get<VolumeRecord>(volume);
    checkPromise(record.width > 0 && record.height > 0 && record.depth > 0, "every side is positive");
    checkPromise(record.data.size() == std::size_t{record.width} * record.height * record.depth * kTexelBytes,
                 "one texel a voxel");
    checkPromise(record.data.size() <= kFuzzRamBudgetBytes, "the texels fit the RAM budget");
    checkPromise(record.valueScale != 0.0 && std::isfinite(record.valueScale) &&
                     std::isfinite(record.valueOffset),
                 "the value map is finite and not flat");
    const float spacings[] = {record.cellspaceX, record.cellspaceY, record.cellspaceZ};
    for (const float spacing : spacings)
        checkPromise(std::isfinite(spacing) && spacing > 0.0f, "the voxel spacing is positive and finite");
    if (record.fileWindow)
        checkPromise(std::isfinite(record.fileWindow->level) && std::isfinite(record.fileWindow->width) &&
                         record.fileWindow->width > 0.0,
                     "the file's window is finite and has a width");
}
