#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <variant>

// Where a chunked store lies on a web server: the base URL its keys are read under. A
// key ("0/c/1/2/3") comes from the store's own metadata, which is not trusted: each of its
// segments is percent-encoded on its own, and "..", "." and empty segments are refused, so
// that no key reaches outside the store's base.
//
// A user name and password in the URL are sent to the server (by curl, to this host only)
// but never shown: displayName() and every message are written without them.
class HttpLocation {
  public:
    // True for text that names an http:// or https:// location (what the command line,
    // the Open Location dialog and a dropped URL are told apart by).
    static bool isHttpUrl(const QString& text);
    // The text with any user name and password taken out, for messages about a location
    // that may not even parse.
    static QString withoutCredentials(const QString& text);

    // The store at `text`, or why it cannot be one (not http(s), no host, a query).
    static std::variant<HttpLocation, QString> parse(const QString& text);

    // The base URL without credentials and without a trailing slash.
    QString displayName() const;
    // Where `key` is shown in messages and how the chunk cache knows it: displayName()/key.
    QString displayUrl(const QString& key) const;
    // The URL curl asks for, credentials included, or why the key is refused.
    std::variant<QByteArray, QString> requestUrl(const QString& key) const;

  private:
    explicit HttpLocation(QUrl base) : m_base(std::move(base)) {}

    QUrl m_base; // path ends with '/'
};
