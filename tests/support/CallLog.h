#pragma once

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

// The calls a test observes, in the order they happened, as readable lines such as
// "commandBuffer.setLabel(MyCommand)". Shared by the recording GPU backend, the fake
// view and observers; safe to append to from several threads.
class CallLog {
  public:
    void record(std::string call) {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
    }

    std::vector<std::string> calls() const {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }

    // The recorded calls that start with `prefix`, in order.
    std::vector<std::string> callsStartingWith(const std::string& prefix) const {
        std::vector<std::string> matching;
        for (const std::string& call : calls()) {
            if (call.rfind(prefix, 0) == 0) {
                matching.push_back(call);
            }
        }
        return matching;
    }

    std::size_t count(const std::string& call) const {
        const std::vector<std::string> all = calls();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), call));
    }

    void clear() {
        std::lock_guard lock(m_mutex);
        m_calls.clear();
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
};
