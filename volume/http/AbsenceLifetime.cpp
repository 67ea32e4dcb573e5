#include "volume/http/AbsenceLifetime.h"

#include <QList>
#include <algorithm>
#include <ctime>
#include <curl/curl.h>

namespace {

constexpr std::int64_t kHeuristicFraction = 10;

// Seconds since the epoch of an HTTP date (any of the three forms HTTP allows), or none.
std::optional<std::int64_t> secondsOf(const QByteArray& date) {
    if (date.trimmed().isEmpty())
        return std::nullopt;
    const std::time_t parsed = curl_getdate(date.trimmed().constData(), nullptr);
    if (parsed == -1)
        return std::nullopt;
    return static_cast<std::int64_t>(parsed);
}

std::int64_t answeredAt(const QByteArray& date) {
    return secondsOf(date).value_or(static_cast<std::int64_t>(std::time(nullptr)));
}

} // namespace

std::optional<AbsenceLifetime::Seconds>
AbsenceLifetime::stated(const QByteArray& cacheControl, const QByteArray& expires, const QByteArray& date) {
    std::optional<Seconds> maxAge;
    for (const QByteArray& part : cacheControl.split(',')) {
        const QByteArray directive = part.trimmed().toLower();
        if (directive == "no-store" || directive == "no-cache")
            return Seconds{0};
        if (directive.startsWith("max-age=")) {
            bool valid = false;
            const qlonglong value = directive.mid(8).trimmed().replace('"', "").toLongLong(&valid);
            maxAge = Seconds{valid && value > 0 ? std::min<qlonglong>(value, kLongestStated.count()) : 0};
        }
    }
    if (maxAge)
        return maxAge;
    if (expires.isNull())
        return std::nullopt;
    const std::optional<std::int64_t> until = secondsOf(expires);
    if (!until)
        return Seconds{0};
    return Seconds{std::clamp<std::int64_t>(*until - answeredAt(date), 0, kLongestStated.count())};
}

AbsenceLifetime::Seconds AbsenceLifetime::heuristic(const QByteArray& date,
                                                    const QByteArray& metadataModified) {
    const std::optional<std::int64_t> modified = secondsOf(metadataModified);
    if (!modified)
        return Seconds{0};
    const std::int64_t age = answeredAt(date) - *modified;
    return Seconds{std::clamp<std::int64_t>(age / kHeuristicFraction, 0, kLongestHeuristic.count())};
}
