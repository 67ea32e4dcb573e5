#include "render/streaming/BrickResidency.h"

#include <algorithm>

namespace {

// The first slot holds zero texels: the entry of every brick below the window points there.
constexpr std::uint32_t kZeroSlot = 0;

} // namespace

BrickResidency::BrickResidency(const BrickLayout& layout) : m_layout(layout), m_slots(kZeroSlot + 1) {
    for (std::uint32_t level = 0; level <= m_layout.baseLevel(); ++level) {
        m_slotOf.emplace_back(m_layout.brickCount(level), -1);
    }
    m_baseMissing = m_layout.brickCount(m_layout.baseLevel());
}

void BrickResidency::grow(std::uint64_t count) {
    // The new slots go out lowest first, before the slots freed earlier.
    for (std::uint64_t slot = count; slot-- > m_slots.size();) {
        m_free.push_back(static_cast<std::uint32_t>(slot));
    }
    m_slots.resize(std::max<std::uint64_t>(count, m_slots.size()));
}

void BrickResidency::need(const BrickKey& key, std::uint64_t frame) {
    if (const std::int32_t slot = slotOf(key); slot >= 0) {
        m_slots[static_cast<std::size_t>(slot)].lastNeeded = frame;
    }
}

std::optional<BrickResidency::Taken> BrickResidency::take(std::uint64_t frame) {
    if (!m_free.empty()) {
        const std::uint32_t slot = m_free.back();
        m_free.pop_back();
        return Taken{slot, std::nullopt};
    }
    std::optional<std::uint32_t> oldest;
    for (std::uint32_t slot = kZeroSlot + 1; slot < m_slots.size(); ++slot) {
        const Slot& s = m_slots[slot];
        if (s.key.level != m_layout.baseLevel() && s.lastNeeded < frame &&
            (!oldest || s.lastNeeded < m_slots[*oldest].lastNeeded)) {
            oldest = slot;
        }
    }
    if (!oldest) {
        return std::nullopt;
    }
    const BrickKey evicted = m_slots[*oldest].key;
    m_slotOf[evicted.level][m_layout.index(evicted)] = -1;
    return Taken{*oldest, evicted};
}

void BrickResidency::place(std::uint32_t slot, const BrickKey& key, std::uint64_t frame) {
    m_slots[slot] = {key, frame};
    m_slotOf[key.level][m_layout.index(key)] = static_cast<std::int32_t>(slot);
    if (key.level == m_layout.baseLevel()) {
        --m_baseMissing;
    }
}
