#pragma once

#include "volume/http/ChunkCache.h"
#include "volume/http/CurlSession.h"
#include "volume/http/HttpLocation.h"
#include "volume/zarr/ChunkStore.h"

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

// A chunked store on a web server: each key is a GET under the store's base URL, each
// range a Range request ("bytes=100-199", "bytes=-16" for a shard's index). Called by the
// brick loader's worker threads, several at once, never by the frame.
//
// 404 (and 403, which object stores answer for keys they hide) is a missing key: the
// array's fill value. With a chunk cache a 404 stays missing, without asking again, as long
// as AbsenceLifetime allows and the metadata of the array holding it (the `.zarray` or
// `zarr.json` of its folder, as this store last read it) has not changed. Time-outs, failed or dropped
// connections and 5xx answers are tried again a few times with a growing pause; what still fails is a reason
// for the status line, naming the location without credentials. With a chunk cache, a value read before is
// asked for again only on the condition that it changed (ETag, Last-Modified): a 304 hands
// back the cached bytes.
//
// Pieces of one value that lie end to end or close together (the chunks of a shard a brick
// needs) are asked for in one Range request, up to kMostRunBytes at a time and never more
// than twice the bytes of the pieces themselves.
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
    std::vector<Bytes> readRanges(const QString& key, const std::vector<Range>& ranges) const override;
    static constexpr std::uint64_t kMostRunBytes = std::uint64_t{16} << 20;
    QString displayName() const override { return m_location.displayName(); }

    // Bytes of bodies that came over the network (not those a 304 left in the cache), from
    // every web store this process opened: what the bench reports.
    static std::uint64_t bytesFetchedByAll() { return s_bytesFetched.load(); }

  private:
    HttpStore(HttpLocation location, Options options);
    struct NotModified {};
    // A missing key, with how long the server said it stays so, when it did, and its Date.
    // Only a 404 is kept: a 403 may as well be a credential that expired.
    struct Absent {
        std::optional<std::chrono::seconds> stated;
        QByteArray date;
        bool keepable = false;
    };
    struct Fetched {
        QByteArray bytes;
        CurlSession::Validators validators;
    };
    // One GET, tried again as told above: the body, a missing key, the cached copy still
    // good (only with conditions), or why not.
    using Answer = std::variant<Fetched, Absent, NotModified, QString>;
    Answer request(const QString& key, BoundedBody& body, const CurlSession::Validators& conditions) const;
    QString cacheKey(const QString& key, const BoundedBody& body) const;
    Bytes fetch(const QString& key, BoundedBody body) const;
    std::vector<Bytes> fetchRun(const QString& key, const std::vector<Range>& run) const;
    // Notes the validators of `key` where it is an array's metadata.
    void noteMetadata(const QString& key, const CurlSession::Validators& validators) const;
    // The validators of the metadata of the array `key` lies in, as last read: none before.
    CurlSession::Validators metadataOf(const QString& key) const;
    // Whether a kept absence of `key` still holds.
    bool stillMissing(const QString& key, const ChunkCache::Entry& entry) const;
    void keepAbsence(const QString& key, const QString& kept, const Absent& absent) const;

    HttpLocation m_location;
    Options m_options;
    CurlSession m_session;
    mutable std::mutex m_metadataLock;
    mutable std::map<QString, CurlSession::Validators> m_metadata; // by the array's folder
    static inline std::atomic<std::uint64_t> s_bytesFetched{0};
};
