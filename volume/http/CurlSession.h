#pragma once

#include "volume/http/BoundedBody.h"

#include <QByteArray>
#include <chrono>
#include <memory>

// The connections of one web store, kept between requests and shared by the worker
// threads that read from it: DNS answers, TLS sessions and open connections live in one
// curl share handle, and easy handles are kept when a request ends and taken again by the
// next one. get() is safe to call from several threads at once.
//
// Nothing the network sends is trusted: certificates are always verified, only http and
// https are spoken (redirects to anything else are refused) and redirects are followed a
// few times at most.
class CurlSession {
  public:
    struct Timeouts {
        // How long opening a connection may take.
        std::chrono::milliseconds connect{10000};
        // How long a transfer may go without a byte before it is given up.
        std::chrono::seconds stall{30};
    };
    // What a cached copy of the value was sent with: asked back as If-None-Match and
    // If-Modified-Since, so that an unchanged value costs a 304 and no body.
    struct Validators {
        QByteArray etag;
        QByteArray lastModified;
    };
    // One response: curl's outcome (0 when the exchange completed), the status, and the
    // headers a caller needs. The body went into the caller's BoundedBody.
    struct Response {
        int curlCode = 0;
        long status = 0;
        bool cutOff = false; // the body stopped it (too long, or enough of it)
        Validators validators;
        QByteArray contentRange;
        // What the server said of how long its answer stays good (null where it said nothing).
        QByteArray cacheControl;
        QByteArray expires;
        QByteArray date;
    };

    explicit CurlSession(Timeouts timeouts);
    ~CurlSession();
    CurlSession(const CurlSession&) = delete;
    CurlSession& operator=(const CurlSession&) = delete;

    // One GET of `url` (with its Range header from `body`, and conditions when given).
    Response get(const QByteArray& url, BoundedBody& body, const Validators& conditions) const;

    // curl's words for one of its outcomes; never holds a URL.
    static QString describe(int curlCode);

  private:
    // The share handle, its locks and the kept easy handles (curl's types stay in the source).
    struct Handles;

    Timeouts m_timeouts;
    std::unique_ptr<Handles> m_handles;
};
