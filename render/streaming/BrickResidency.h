#pragma once

#include "render/streaming/BrickLayout.h"

#include <cstdint>
#include <optional>
#include <vector>

// Which brick holds which slot of the atlas, and which slot goes next. Slot 0 is never
// handed out (it holds zero texels, where the bricks below the window point); bricks of
// the base level, once placed, are never evicted, so there is always a picture. When no
// slot is free, the slot of the brick that the frames needed least recently goes, never
// one needed by the frame at hand.
class BrickResidency {
  public:
    explicit BrickResidency(const BrickLayout& layout);

    // Makes `count` slots in all (never fewer than there are), the new ones free.
    void grow(std::uint64_t count);
    std::uint64_t capacity() const { return m_slots.size(); }
    // Slots in use, the zero slot among them.
    std::uint64_t usedCount() const { return m_slots.size() - m_free.size(); }
    bool hasFree() const { return !m_free.empty(); }
    std::uint64_t baseMissing() const { return m_baseMissing; }

    // The brick's slot; −1 while it is not resident.
    std::int32_t slotOf(const BrickKey& key) const { return m_slotOf[key.level][m_layout.index(key)]; }
    // Notes that frame `frame` needs the resident brick.
    void need(const BrickKey& key, std::uint64_t frame);

    struct Taken {
        std::uint32_t slot = 0;
        std::optional<BrickKey> evicted; // the brick that held it
    };
    // A free slot, else the least recently needed brick's (not needed by `frame`, not of
    // the base level); nothing when every slot is spoken for.
    std::optional<Taken> take(std::uint64_t frame);
    // Gives the brick the slot taken for it, as needed by `frame`.
    void place(std::uint32_t slot, const BrickKey& key, std::uint64_t frame);
    // Gives back a slot taken and not placed (its upload failed).
    void giveBack(std::uint32_t slot) { m_free.push_back(slot); }

  private:
    struct Slot {
        BrickKey key;
        std::uint64_t lastNeeded = 0;
    };

    BrickLayout m_layout;
    std::vector<std::vector<std::int32_t>> m_slotOf; // per level and brick; −1 when not resident
    std::vector<Slot> m_slots;                       // slot 0 included, never used
    std::vector<std::uint32_t> m_free;               // handed out from the back
    std::uint64_t m_baseMissing = 0;
};
