#pragma once

#include "GlContextProvider.h"
#include "gpu/Gpu.h"

#include <QByteArray>
#include <memory>
#include <mutex>
#include <vector>

namespace gl {

// Keeps the OpenGL buffer objects of released buffers for reuse. The renderer asks for
// a buffer with the same bytes in every frame (the proxy cube); handing back a kept
// object whose contents already match costs neither an allocation nor an upload.
class GlBufferPool {
  public:
    explicit GlBufferPool(std::shared_ptr<GlContextProvider> contexts) : m_contexts(std::move(contexts)) {}
    ~GlBufferPool();

    GlBufferPool(const GlBufferPool&) = delete;
    GlBufferPool& operator=(const GlBufferPool&) = delete;

    // A buffer object holding the bytes; 0 when none could be made.
    unsigned acquire(const void* bytes, std::size_t length);
    void release(unsigned name);

  private:
    struct Kept {
        unsigned name = 0;
        QByteArray contents;
        bool inUse = false;
    };

    std::shared_ptr<GlContextProvider> m_contexts;
    std::mutex m_mutex;
    std::vector<Kept> m_kept;
};

class GlBuffer : public gpu::Buffer {
  public:
    GlBuffer(std::shared_ptr<GlBufferPool> pool, unsigned name, std::size_t length)
        : m_pool(std::move(pool)), m_name(name), m_length(length) {}
    ~GlBuffer() override { m_pool->release(m_name); }

    GlBuffer(const GlBuffer&) = delete;
    GlBuffer& operator=(const GlBuffer&) = delete;

    std::size_t length() const override { return m_length; }
    unsigned name() const { return m_name; }

  private:
    std::shared_ptr<GlBufferPool> m_pool;
    unsigned m_name;
    std::size_t m_length;
};

} // namespace gl
