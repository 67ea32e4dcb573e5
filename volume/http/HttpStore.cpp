#include "volume/http/HttpStore.h"

#include "volume/http/AbsenceLifetime.h"
#include "volume/zarr/OmeZarrLayout.h"

#include <algorithm>
#include <curl/curl.h>
#include <numeric>
#include <thread>

namespace {

constexpr long kNotModified = 304;
constexpr long kForbidden = 403;
constexpr long kNotFound = 404;
constexpr long kTooManyRequests = 429;
constexpr long kFirstServerError = 500;

// Failures that may pass: the server was busy, restarting or out of reach for a moment.
bool worthRetrying(int curlCode) {
    switch (curlCode) {
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return true;
    default:
        return false;
    }
}

} // namespace

std::variant<std::shared_ptr<HttpStore>, QString> HttpStore::open(const QString& url, Options options) {
    auto location = HttpLocation::parse(url);
    if (auto* refused = std::get_if<QString>(&location))
        return *refused;
    return std::shared_ptr<HttpStore>(
        new HttpStore(std::get<HttpLocation>(std::move(location)), std::move(options)));
}

HttpStore::HttpStore(HttpLocation location, Options options)
    : m_location(std::move(location)), m_options(std::move(options)), m_session(m_options.timeouts) {}

ChunkStore::Bytes HttpStore::read(const QString& key, std::uint64_t maxBytes) const {
    return fetch(key, BoundedBody::whole(maxBytes));
}

ChunkStore::Bytes HttpStore::readRange(const QString& key, Range range) const {
    if (range.offset < 0)
        return fetch(key, BoundedBody::tail(static_cast<std::uint64_t>(-range.offset)));
    if (range.length == 0)
        return QByteArray();
    return fetch(key, BoundedBody::piece(static_cast<std::uint64_t>(range.offset), range.length));
}

std::vector<ChunkStore::Bytes> HttpStore::readRanges(const QString& key,
                                                     const std::vector<Range>& ranges) const {
    std::vector<Bytes> values(ranges.size());
    std::vector<std::size_t> order(ranges.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::ranges::sort(order, {}, [&](std::size_t i) { return ranges[i].offset; });
    for (std::size_t first = 0; first < order.size();) {
        const Range& opening = ranges[order[first]];
        std::size_t end = first + 1;
        if (opening.offset >= 0) {
            const auto start = static_cast<std::uint64_t>(opening.offset);
            std::uint64_t runEnd = start + opening.length;
            std::uint64_t needed = opening.length;
            while (end < order.size()) {
                const Range& next = ranges[order[end]];
                const auto nextEnd = static_cast<std::uint64_t>(next.offset) + next.length;
                // Bytes between the pieces come along only while the run stays at most twice
                // the bytes its pieces need.
                if (static_cast<std::uint64_t>(next.offset) < runEnd ||
                    nextEnd - start > 2 * (needed + next.length) || nextEnd - start > kMostRunBytes)
                    break;
                runEnd = nextEnd;
                needed += next.length;
                ++end;
            }
        }
        if (end - first == 1) {
            values[order[first]] = readRange(key, opening);
        } else {
            std::vector<Range> run;
            for (std::size_t i = first; i < end; ++i)
                run.push_back(ranges[order[i]]);
            std::vector<Bytes> pieces = fetchRun(key, run);
            for (std::size_t i = first; i < end; ++i)
                values[order[i]] = std::move(pieces[i - first]);
        }
        first = end;
    }
    return values;
}

HttpStore::Answer HttpStore::request(const QString& key, BoundedBody& body,
                                     const CurlSession::Validators& conditions) const {
    const auto url = m_location.requestUrl(key);
    if (const auto* refused = std::get_if<QString>(&url))
        return *refused;
    QString failure;
    int attempt = 0;
    while (attempt < std::max(m_options.attempts, 1)) {
        if (attempt > 0)
            std::this_thread::sleep_for(m_options.firstBackOff * (1 << (attempt - 1)));
        ++attempt;
        const CurlSession::Response response = m_session.get(std::get<QByteArray>(url), body, conditions);
        if (response.curlCode != CURLE_OK) {
            failure = CurlSession::describe(response.curlCode);
            if (worthRetrying(response.curlCode))
                continue;
            break;
        }
        if (response.status == kNotModified &&
            (!conditions.etag.isEmpty() || !conditions.lastModified.isEmpty()))
            return NotModified{};
        if (response.status == kNotFound || response.status == kForbidden)
            return Absent{AbsenceLifetime::stated(response.cacheControl, response.expires, response.date),
                          response.date, response.status == kNotFound};
        if (response.status >= kFirstServerError || response.status == kTooManyRequests) {
            failure = QStringLiteral("the server answered with status %1").arg(response.status);
            continue;
        }
        auto value = body.finish(response.status, response.contentRange, response.cutOff);
        if (const auto* why = std::get_if<QString>(&value)) {
            failure = *why;
            break;
        }
        QByteArray& bytes = std::get<QByteArray>(value);
        s_bytesFetched += static_cast<std::uint64_t>(bytes.size());
        return Fetched{std::move(bytes), response.validators};
    }
    const QString tries = attempt > 1 ? QStringLiteral(" (tried %1 times)").arg(attempt) : QString();
    return QStringLiteral("Could not read %1: %2%3.").arg(m_location.displayUrl(key), failure, tries);
}

QString HttpStore::cacheKey(const QString& key, const BoundedBody& body) const {
    const QString shown = m_location.displayUrl(key);
    const QByteArray range = body.range();
    return range.isEmpty() ? shown : shown + QLatin1Char('#') + QString::fromLatin1(range);
}

ChunkStore::Bytes HttpStore::fetch(const QString& key, BoundedBody body) const {
    const QString kept = cacheKey(key, body);
    auto cached = m_options.cache ? m_options.cache->find(kept, body.keptBound()) : std::nullopt;
    if (cached && cached->missing) {
        if (stillMissing(key, *cached))
            return Missing{};
        cached.reset();
    }
    const CurlSession::Validators conditions =
        cached ? CurlSession::Validators{cached->etag, cached->lastModified} : CurlSession::Validators{};
    Answer answer = request(key, body, conditions);
    if (std::holds_alternative<NotModified>(answer)) {
        noteMetadata(key, conditions);
        return cached->value;
    }
    if (const auto* absent = std::get_if<Absent>(&answer)) {
        keepAbsence(key, kept, *absent);
        return Missing{};
    }
    if (const auto* why = std::get_if<QString>(&answer))
        return *why;
    Fetched& fetched = std::get<Fetched>(answer);
    noteMetadata(key, fetched.validators);
    if (m_options.cache)
        m_options.cache->store(
            kept, {fetched.bytes, fetched.validators.etag, fetched.validators.lastModified, false, {}});
    return std::move(fetched.bytes);
}

// The run's pieces lie in order, apart or end to end. Each piece is kept in the cache under the key a request
// for it alone would have, so that a value is found again however the pieces around it were asked for. Where
// every piece is kept, with the same validators, the whole run is asked for on the condition that it changed.
std::vector<ChunkStore::Bytes> HttpStore::fetchRun(const QString& key, const std::vector<Range>& run) const {
    const auto start = static_cast<std::uint64_t>(run.front().offset);
    const std::uint64_t total = static_cast<std::uint64_t>(run.back().offset) + run.back().length - start;
    std::vector<QString> keptAs;
    std::vector<std::optional<ChunkCache::Entry>> cached;
    for (const Range& piece : run) {
        const BoundedBody alone = BoundedBody::piece(static_cast<std::uint64_t>(piece.offset), piece.length);
        keptAs.push_back(cacheKey(key, alone));
        cached.push_back(m_options.cache ? m_options.cache->find(keptAs.back(), alone.keptBound())
                                         : std::nullopt);
    }
    const bool allKept = std::ranges::all_of(cached, [&](const std::optional<ChunkCache::Entry>& entry) {
        return entry && !entry->missing && entry->etag == cached.front()->etag &&
               entry->lastModified == cached.front()->lastModified;
    });
    const CurlSession::Validators conditions =
        allKept ? CurlSession::Validators{cached.front()->etag, cached.front()->lastModified}
                : CurlSession::Validators{};
    BoundedBody body = BoundedBody::piece(start, total);
    Answer answer = request(key, body, conditions);
    std::vector<Bytes> values(run.size());
    for (std::size_t i = 0; i < run.size(); ++i) {
        if (std::holds_alternative<NotModified>(answer)) {
            values[i] = cached[i]->value;
        } else if (std::holds_alternative<Absent>(answer)) {
            values[i] = Missing{};
        } else if (const auto* why = std::get_if<QString>(&answer)) {
            values[i] = *why;
        } else {
            const Fetched& fetched = std::get<Fetched>(answer);
            const QByteArray piece =
                fetched.bytes.mid(static_cast<qsizetype>(run[i].offset - run.front().offset),
                                  static_cast<qsizetype>(run[i].length));
            if (m_options.cache)
                m_options.cache->store(
                    keptAs[i], {piece, fetched.validators.etag, fetched.validators.lastModified, false, {}});
            values[i] = piece;
        }
    }
    return values;
}

void HttpStore::noteMetadata(const QString& key, const CurlSession::Validators& validators) const {
    const qsizetype slash = key.lastIndexOf(QLatin1Char('/'));
    const QStringView name = QStringView(key).mid(slash + 1);
    if (name != QLatin1String(".zarray") && name != QLatin1String("zarr.json"))
        return;
    const std::lock_guard guard(m_metadataLock);
    m_metadata[key.left(std::max<qsizetype>(slash, 0))] = validators;
}

CurlSession::Validators HttpStore::metadataOf(const QString& key) const {
    const std::lock_guard guard(m_metadataLock);
    // The deepest folder above the key whose metadata was read: an array's, not its group's.
    for (qsizetype slash = key.lastIndexOf(QLatin1Char('/')); slash >= 0;
         slash = slash > 0 ? key.lastIndexOf(QLatin1Char('/'), slash - 1) : -1) {
        if (const auto found = m_metadata.find(key.left(slash)); found != m_metadata.end())
            return found->second;
    }
    const auto root = m_metadata.find(QString());
    return root != m_metadata.end() ? root->second : CurlSession::Validators{};
}

bool HttpStore::stillMissing(const QString& key, const ChunkCache::Entry& entry) const {
    const CurlSession::Validators metadata = metadataOf(key);
    return QDateTime::currentDateTimeUtc() < entry.freshUntil && metadata.etag == entry.etag &&
           metadata.lastModified == entry.lastModified;
}

void HttpStore::keepAbsence(const QString& key, const QString& kept, const Absent& absent) const {
    // A store's metadata is asked for once an open: a store uploaded after a first try opens.
    if (!m_options.cache || !absent.keepable ||
        OmeZarrLayout::isMetadataName(key.section(QLatin1Char('/'), -1)))
        return;
    const CurlSession::Validators metadata = metadataOf(key);
    const std::chrono::seconds lifetime =
        absent.stated.value_or(AbsenceLifetime::heuristic(absent.date, metadata.lastModified));
    if (lifetime <= std::chrono::seconds{0})
        return;
    m_options.cache->store(kept, {QByteArray(), metadata.etag, metadata.lastModified, true,
                                  QDateTime::currentDateTimeUtc().addSecs(lifetime.count())});
}
