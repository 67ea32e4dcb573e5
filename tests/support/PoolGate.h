#pragma once

#include <QSemaphore>
#include <QThreadPool>

// Holds every thread of the global pool until released, so that imports started
// meanwhile read only afterwards, in whatever order the pool picks.
class PoolGate {
  public:
    PoolGate() {
        QThreadPool* pool = QThreadPool::globalInstance();
        for (int i = 0; i < pool->maxThreadCount(); ++i) {
            pool->start([this] {
                m_started.release();
                m_open.acquire();
            });
        }
        m_started.acquire(pool->maxThreadCount());
    }
    ~PoolGate() { open(); }

    void open() {
        m_open.release(QThreadPool::globalInstance()->maxThreadCount() - m_opened);
        m_opened = QThreadPool::globalInstance()->maxThreadCount();
    }

  private:
    QSemaphore m_started;
    QSemaphore m_open;
    int m_opened = 0;
};
