#pragma once

#include "volume/http/ChunkCache.h"
#include "volume/http/CurlSession.h"
#include "volume/http/HttpLocation.h"
#include "volume/zarr/ChunkStore.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <variant>

// A chunked store on a web server: each key is a GET under the store's base URL, each
// range a Range request ("bytes=100-199", "bytes=-16" for a shard's index). Called by the
// brick loader's worker threads, several at once, never by the frame.
//
// 404 (and 403, which object stores answer for keys they hide) is a missing key: the
// array's fill value. Time-outs, failed or dropped connections and 5xx answers are tried
// again a few times with a growing pause; what still fails is a reason for the status line,
// naming the location without credentials. With a chunk cache, a value read before is
// asked for again only on the condition that it changed (ETag, Last-Modified): a 304 hands
// back the cached bytes.
class HttpStore final : public ChunkStore {
  public:
    struct Options {
        CurlSession::Timeouts timeouts;
        // How many times a request is made before its failure is told.
        int attempts = 4;
        // The pause before the second attempt; each further one doubles it.
        std::chrono::milliseconds firstBackOff{250};
        // Where read values are kept; none to read everything from the server.
        std::shared_ptr<ChunkCache> cache;
    };

    // The store under `url`, or why that is not a web store's location.
    static std::variant<std::shared_ptr<HttpStore>, QString> open(const QString& url, Options options);

    Bytes read(const QString& key, std::uint64_t maxBytes) const override;
    Bytes readRange(const QString& key, Range range) const override;
    QString displayName() const override { return m_location.displayName(); }

    // Bytes of bodies that came over the network (not those a 304 left in the cache).
    std::uint64_t bytesFetched() const { return m_bytesFetched.load(); }

  private:
    HttpStore(HttpLocation location, Options options);
    Bytes fetch(const QString& key, BoundedBody body) const;

    HttpLocation m_location;
    Options m_options;
    CurlSession m_session;
    mutable std::atomic<std::uint64_t> m_bytesFetched{0};
};
