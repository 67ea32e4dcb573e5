#include "render/scene/VolumeMailbox.h"

#include <utility>

void VolumeMailbox::post(VolumeState volume) {
    std::optional<VolumeState> dropped;
    std::lock_guard lock(m_mutex);
    dropped = std::exchange(m_posted, std::move(volume));
    // The guard goes first: `dropped` releases its textures without holding the lock.
}

std::optional<VolumeState> VolumeMailbox::take() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_posted, std::nullopt);
}
