#pragma once

#include "render/streaming/BrickPool.h"
#include "volume/core/ImportOptions.h"

#include <cstdint>

// What the viewer may spend on a volume (--gpu-budget, --ram-budget): the brick pool's
// budgets on the GPU, and the bytes one import may hold in memory; a larger raw volume
// is read in place from its file.
struct ViewerBudgets {
    BrickPool::Budgets pool;
    std::uint64_t importRamBytes = ImportOptions::kDefaultRamBudgetBytes;
};
