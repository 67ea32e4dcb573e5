#pragma once

#include "render/gpu/Gpu.h"
#include "render/streaming/BrickLayout.h"

#include <QString>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

// The texture through which the shader finds a brick: one RGBA16 entry per brick of every
// level up to the base level (the slot's x, y and z in the atlas, and the level the slot
// holds), the levels stacked as BrickLayout::pageOrigin places them. A level's entries are
// filled anew (point) and then uploaded, but only the box around the entries that differ
// from what was uploaded last: a brick arriving rewrites one entry, not the whole level.
// Entries start as zeros, slot 0 of level 0, where the atlas holds zero texels.
class BrickPageTable {
  public:
    // Why the table of this layout does not fit the GPU's largest 3-D texture, if it does not.
    static std::optional<QString> refusal(const BrickLayout& layout, std::size_t maxTexture3DSize);
    static std::variant<std::unique_ptr<BrickPageTable>, QString> create(gpu::Device& device,
                                                                         const BrickLayout& layout);

    gpu::Texture* texture() const { return m_texture.get(); }

    // Starts the entries of `level` anew, every one pointing at the zero slot.
    void clear(std::uint32_t level);
    // Points the brick's entry (its index in the level) at the slot at `position` in the
    // atlas, which holds a brick of `heldLevel`.
    void point(std::uint64_t index, const std::array<std::uint64_t, 3>& position, std::uint32_t heldLevel);
    // Uploads the entries of the level being filled that changed; false when none did or
    // the GPU refused them (they are then uploaded again next time).
    bool upload();

  private:
    static constexpr std::size_t kChannels = 4; // slot x, y, z and the level held

    BrickPageTable(const BrickLayout& layout, std::shared_ptr<gpu::Texture> texture);
    // Uploads the box [low, high] of the level's entries (in bricks) from `entries`, all of its entries.
    bool uploadBox(std::uint32_t level, const std::vector<std::uint16_t>& entries,
                   std::array<std::uint64_t, 3> low, std::array<std::uint64_t, 3> high);

    BrickLayout m_layout;
    std::shared_ptr<gpu::Texture> m_texture;
    std::vector<std::vector<std::uint16_t>> m_uploaded; // per level: the entries the texture holds
    std::vector<std::uint16_t> m_entries;               // the level being filled
    std::uint32_t m_level = 0;
};
