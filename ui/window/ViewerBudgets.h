#pragma once

#include "render/streaming/BrickPool.h"
#include "volume/core/ImportOptions.h"

#include <cstdint>

// What the viewer may spend on a volume (--gpu-budget, --ram-budget, --cache-budget): the
// brick pool's budgets on the GPU, the bytes one import may hold in memory (a larger raw
// volume is read in place from its file), and the disk that values of web stores may take.
struct ViewerBudgets {
    BrickPool::Budgets pool;
    std::uint64_t importRamBytes = ImportOptions::kDefaultRamBudgetBytes;
    std::uint64_t chunkCacheBytes = ImportOptions::kDefaultChunkCacheBytes;
};
