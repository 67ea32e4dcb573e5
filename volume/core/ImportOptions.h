#pragma once

#include <QString>
#include <cstdint>

// What every volume reader must respect so that the renderer can take its volume.
struct ImportOptions {
    // The largest 3-D texture side the GPU accepts (GL_MAX_3D_TEXTURE_SIZE). The renderer
    // makes its bricks within it; a volume with a longer side is read in place when it can be.
    static constexpr std::uint32_t kDefaultMaxTextureSize = 2048;
    // How many bytes one import may hold in memory at the peak of decoding: its texels,
    // the samples and library buffers held beside them, and the compressed or text data
    // they are decoded from (every reader checks this before it allocates). A fixed 4 GiB rather than a share
    // of the machine's memory, so that the same file is read the same way everywhere; on a 24 GB machine it
    // leaves room for the renderer's brick pool, the driver's copies and the rest of the
    // desktop. Larger raw volumes are read in place instead; others are refused.
    static constexpr std::uint64_t kDefaultRamBudgetBytes = std::uint64_t{4} << 30;

    // How much of the disk the values read from web stores may take (--cache-budget): a store
    // opened again costs revalidations rather than its bytes.
    static constexpr std::uint64_t kDefaultChunkCacheBytes = std::uint64_t{2} << 30;

    std::uint32_t maxTextureSize = kDefaultMaxTextureSize;
    std::uint64_t ramBudgetBytes = kDefaultRamBudgetBytes;
    std::uint64_t chunkCacheBytes = kDefaultChunkCacheBytes;
    // Where those values are kept; empty for the user's cache folder.
    QString chunkCacheFolder = {};
};
