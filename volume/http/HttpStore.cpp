#include "volume/http/HttpStore.h"

#include <curl/curl.h>
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

ChunkStore::Bytes HttpStore::fetch(const QString& key, BoundedBody body) const {
    const auto url = m_location.requestUrl(key);
    if (const auto* refused = std::get_if<QString>(&url))
        return *refused;
    const QString shown = m_location.displayUrl(key);
    const QByteArray range = body.range();
    const QString cacheKey = range.isEmpty() ? shown : shown + QLatin1Char('#') + QString::fromLatin1(range);
    const auto cached = m_options.cache ? m_options.cache->find(cacheKey, body.keptBound()) : std::nullopt;
    const CurlSession::Validators conditions =
        cached ? CurlSession::Validators{cached->etag, cached->lastModified} : CurlSession::Validators{};
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
        if (response.status == kNotModified && cached)
            return cached->value;
        if (response.status == kNotFound || response.status == kForbidden)
            return Missing{};
        if (response.status >= kFirstServerError || response.status == kTooManyRequests) {
            failure = QStringLiteral("the server answered with status %1").arg(response.status);
            continue;
        }
        auto value = body.finish(response.status, response.contentRange, response.cutOff);
        if (const auto* why = std::get_if<QString>(&value)) {
            failure = *why;
            break;
        }
        const QByteArray& bytes = std::get<QByteArray>(value);
        m_bytesFetched += static_cast<std::uint64_t>(bytes.size());
        if (m_options.cache)
            m_options.cache->store(cacheKey,
                                   {bytes, response.validators.etag, response.validators.lastModified});
        return bytes;
    }
    const QString tries = attempt > 1 ? QStringLiteral(" (tried %1 times)").arg(attempt) : QString();
    return QStringLiteral("Could not read %1: %2%3.").arg(shown, failure, tries);
}
