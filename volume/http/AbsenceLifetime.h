#pragma once

#include <QByteArray>
#include <chrono>
#include <optional>

// How long a key that a web store answered as missing (404, or 403 from an object store that
// hides its keys) may be taken as missing without asking again. A store's never-written
// chunks are the array's fill value; a second open should not ask for each of them again.
// HTTP lets a cache keep such an answer as long as the server says (Cache-Control max-age,
// Expires), or for a heuristic time where it says nothing. Ours is a tenth of the time since
// the array's metadata last changed, at most a day: a store written a while ago keeps its
// holes, a store being written now is asked again within moments.
class AbsenceLifetime {
  public:
    using Seconds = std::chrono::seconds;
    // What the server said: nothing, or how long (zero where it forbade keeping the answer:
    // no-store, no-cache, max-age=0, an Expires not after its Date or that does not parse).
    static std::optional<Seconds> stated(const QByteArray& cacheControl, const QByteArray& expires,
                                         const QByteArray& date);
    // The heuristic lifetime for an array whose metadata was last modified at
    // `metadataModified`, answered at `date` (both HTTP dates; the clock where `date` is
    // empty): zero where either does not parse or the metadata is dated after the answer.
    static Seconds heuristic(const QByteArray& date, const QByteArray& metadataModified);

    static constexpr Seconds kLongestHeuristic{24 * 60 * 60};
    static constexpr Seconds kLongestStated{7 * 24 * 60 * 60};
};
