#pragma once

#include "volume/core/ImportOptions.h"
#include "volume/core/ImportRefusal.h"
#include "volume/core/VolumeRecord.h"

#include <cstdint>

// What an import promises whatever the file: a refusal with a reason, or a volume of
// exactly the promised size within the RAM budget, with a usable map back to the file's
// values, a positive, finite voxel spacing and a window of positive, finite width.

// Every fuzzed import reads within 2 MiB of RAM, and its log is discarded (by the
// LLVMFuzzerInitialize every target links with this).
constexpr std::uint64_t kFuzzRamBudgetBytes = std::uint64_t{1} << 21;
inline ImportOptions fuzzReadOptions() {
    return {.ramBudgetBytes = kFuzzRamBudgetBytes};
}

// A broken promise stops the fuzz run, naming the promise.
void checkPromise(bool condition, const char* promise);
void checkImport(const ImportResult<VolumeRecord>& volume);
