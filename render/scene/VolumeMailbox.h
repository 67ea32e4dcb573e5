#pragma once

#include "render/scene/VolumeState.h"

#include <mutex>
#include <optional>

// Hands a finished volume from the thread that uploaded it to the GUI thread, which
// takes it between two frames. Holds at most one: a volume posted before the last one
// was taken replaces it, and the replaced one's GPU objects are released on the posting
// thread, outside the lock. The lock is held only to swap the volume in or out.
class VolumeMailbox {
  public:
    void post(VolumeState volume);
    // The volume posted last, if it has not been taken yet.
    std::optional<VolumeState> take();

  private:
    std::mutex m_mutex;
    std::optional<VolumeState> m_posted; // guarded by m_mutex
};
