#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <variant>
#include <vector>

// Where the keys of a chunked store ("zarr.json", ".zarray", "0/1.2.3", "0/c/1/2/3") are read
// from: a folder on disk or a web server. The volume source asks from the brick loader's
// worker threads at once, so implementations are safe for concurrent calls.
//
// Nothing a store returns is trusted: a value longer than the caller's bound is refused
// rather than read whole, since the caller knows how large a chunk or a shard can be.
class ChunkStore {
  public:
    // The key does not exist: a chunk that was never written reads as the array's fill value.
    struct Missing {};
    // The value, or Missing, or why it could not be read now (for the status line; never
    // holding credentials).
    using Bytes = std::variant<QByteArray, Missing, QString>;

    // A piece of a value: `length` bytes from `offset`, or, with a negative offset, the last
    // -offset bytes (a shard's index at its end, whose total size is not known yet).
    struct Range {
        std::int64_t offset = 0;
        std::uint64_t length = 0;
    };

    virtual ~ChunkStore() = default;

    // The whole value of `key`, refused when it holds more than `maxBytes`.
    virtual Bytes read(const QString& key, std::uint64_t maxBytes) const = 0;
    // A piece of the value of `key`; fewer bytes than asked (a value that ends first) are
    // refused too.
    virtual Bytes readRange(const QString& key, Range range) const = 0;
    // Several pieces of the value of `key`, each as readRange reads it; a store where each
    // read costs a round trip joins pieces that lie end to end.
    virtual std::vector<Bytes> readRanges(const QString& key, const std::vector<Range>& ranges) const {
        std::vector<Bytes> values;
        for (const Range& range : ranges)
            values.push_back(readRange(key, range));
        return values;
    }
    // The store's location for messages: a folder, or a URL without user name or password.
    virtual QString displayName() const = 0;
};
