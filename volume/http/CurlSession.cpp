#include "volume/http/CurlSession.h"

#include <QString>
#include <array>
#include <curl/curl.h>
#include <mutex>
#include <vector>

namespace {

// Redirects a store may take (a bucket's name moved to another host, http to https).
constexpr long kMaxRedirects = 5;
// A transfer slower than this many bytes a second for the stall time is given up.
constexpr long kStallBytesPerSecond = 1;
constexpr const char* kProtocols = "http,https";
constexpr const char* kUserAgent = "voxview";

// curl's global state is set up once, before the first handle, whichever thread asks.
void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// One transfer's state, seen by its body callback.
struct Exchange {
    CURL* handle;
    BoundedBody* body;
    bool begun = false;
    bool cutOff = false;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& exchange = *static_cast<Exchange*>(user);
    const std::size_t bytes = size * count;
    if (!exchange.begun) {
        exchange.begun = true;
        long status = 0;
        curl_off_t announced = -1;
        curl_easy_getinfo(exchange.handle, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(exchange.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        if (!exchange.body->begin(status, announced)) {
            exchange.cutOff = true;
            return 0;
        }
    }
    if (!exchange.body->append(data, bytes)) {
        exchange.cutOff = true;
        return 0;
    }
    return bytes;
}

QByteArray header(CURL* handle, const char* name) {
    curl_header* found = nullptr;
    if (curl_easy_header(handle, name, 0, CURLH_HEADER, -1, &found) != CURLHE_OK)
        return {};
    return QByteArray(found->value);
}

} // namespace

struct CurlSession::Handles {
    CURLSH* share = nullptr;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
    std::mutex idleLock;
    std::vector<CURL*> idle;

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
        static_cast<Handles*>(user)->locks[data].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* user) {
        static_cast<Handles*>(user)->locks[data].unlock();
    }

    CURL* take() {
        {
            const std::lock_guard guard(idleLock);
            if (!idle.empty()) {
                CURL* handle = idle.back();
                idle.pop_back();
                return handle;
            }
        }
        return curl_easy_init();
    }
    void keep(CURL* handle) {
        const std::lock_guard guard(idleLock);
        idle.push_back(handle);
    }
};

CurlSession::CurlSession(Timeouts timeouts) : m_timeouts(timeouts), m_handles(std::make_unique<Handles>()) {
    initialiseCurl();
    CURLSH* share = curl_share_init();
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Handles::lock);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Handles::unlock);
    curl_share_setopt(share, CURLSHOPT_USERDATA, m_handles.get());
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    m_handles->share = share;
}

CurlSession::~CurlSession() {
    for (CURL* handle : m_handles->idle)
        curl_easy_cleanup(handle);
    curl_share_cleanup(m_handles->share);
}

CurlSession::Response CurlSession::get(const QByteArray& url, BoundedBody& body,
                                       const Validators& conditions) const {
    CURL* handle = m_handles->take();
    Response response;
    if (!handle) {
        response.curlCode = CURLE_OUT_OF_MEMORY;
        return response;
    }
    // A kept handle keeps its connection cache and TLS sessions; its options start afresh.
    curl_easy_reset(handle);
    Exchange exchange{handle, &body};
    const QByteArray range = body.range();
    curl_slist* headers = nullptr;
    if (!conditions.etag.isEmpty())
        headers = curl_slist_append(headers, ("If-None-Match: " + conditions.etag).constData());
    if (!conditions.lastModified.isEmpty())
        headers = curl_slist_append(headers, ("If-Modified-Since: " + conditions.lastModified).constData());

    curl_easy_setopt(handle, CURLOPT_URL, url.constData());
    curl_easy_setopt(handle, CURLOPT_SHARE, m_handles->share);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, kProtocols);
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, kProtocols);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_timeouts.connect.count()));
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kStallBytesPerSecond);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(m_timeouts.stall.count()));
    curl_easy_setopt(handle, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &exchange);
    if (!range.isEmpty())
        curl_easy_setopt(handle, CURLOPT_RANGE, range.constData());

    const CURLcode code = curl_easy_perform(handle);
    response.cutOff = exchange.cutOff;
    // Stopping the body on purpose is curl's write error; the body tells the caller why.
    response.curlCode = code == CURLE_WRITE_ERROR && exchange.cutOff ? CURLE_OK : code;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
    if (code == CURLE_OK || exchange.cutOff) {
        response.validators = {header(handle, "ETag"), header(handle, "Last-Modified")};
        response.contentRange = header(handle, "Content-Range");
        response.cacheControl = header(handle, "Cache-Control");
        response.expires = header(handle, "Expires");
        response.date = header(handle, "Date");
    }
    curl_slist_free_all(headers);
    m_handles->keep(handle);
    return response;
}

QString CurlSession::describe(int curlCode) {
    switch (curlCode) {
    case CURLE_UNSUPPORTED_PROTOCOL:
        return QStringLiteral("the server redirects to a location that is neither http nor https");
    case CURLE_TOO_MANY_REDIRECTS:
        return QStringLiteral("the server redirects more than %1 times").arg(kMaxRedirects);
    case CURLE_PEER_FAILED_VERIFICATION:
        return QStringLiteral("the server's TLS certificate could not be verified");
    case CURLE_OPERATION_TIMEDOUT:
        return QStringLiteral("the server stopped answering");
    default:
        return QString::fromUtf8(curl_easy_strerror(static_cast<CURLcode>(curlCode)));
    }
}
