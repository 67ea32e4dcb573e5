#pragma once

#include <QSemaphore>
#include <QThreadPool>
#include <memory>

// Holds every thread of the global pool until released, so that imports started
// meanwhile read only afterwards, in whatever order the pool picks.
class PoolGate {
  public:
    PoolGate() {
        for (int i = 0; i < m_pool; ++i) {
            // The gated threads share the semaphores with the gate, since they are still
            // inside acquire() when the gate goes out of scope.
            QThreadPool::globalInstance()->start([state = m_state] {
                state->started.release();
                state->open.acquire();
            });
        }
        m_state->started.acquire(m_pool);
    }
    ~PoolGate() { m_state->open.release(m_pool); }

  private:
    struct State {
        QSemaphore started, open;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
    int m_pool = QThreadPool::globalInstance()->maxThreadCount();
};
