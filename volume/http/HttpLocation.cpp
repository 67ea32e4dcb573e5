#include "volume/http/HttpLocation.h"

#include <QStringList>

namespace {

bool isHttpScheme(const QString& scheme) {
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

// A segment of a key that stays where it is put: no parent or current folder, no empty
// segment (a doubled slash), no control characters or backslashes that a server may take
// for a separator.
bool isPlainSegment(const QString& segment) {
    if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String(".."))
        return false;
    for (const QChar c : segment) {
        if (c.unicode() < 0x20 || c == QChar(0x7f) || c == QLatin1Char('\\'))
            return false;
    }
    return true;
}

} // namespace

bool HttpLocation::isHttpUrl(const QString& text) {
    return text.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
           text.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

QString HttpLocation::withoutCredentials(const QString& text) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (url.isValid() && !url.host().isEmpty())
        return url.toString(QUrl::RemoveUserInfo);
    // Not a URL Qt can take apart: cut "user:pass@" out of its authority by hand rather
    // than risk showing it.
    QString shown = text.trimmed();
    const qsizetype authority = shown.indexOf(QLatin1String("://"));
    const qsizetype start = authority < 0 ? 0 : authority + 3;
    qsizetype end = shown.indexOf(QLatin1Char('/'), start);
    if (end < 0)
        end = shown.size();
    const qsizetype at = shown.lastIndexOf(QLatin1Char('@'), end - 1);
    if (at >= start)
        shown.remove(start, at + 1 - start);
    return shown;
}

std::variant<HttpLocation, QString> HttpLocation::parse(const QString& text) {
    QUrl url(text.trimmed(), QUrl::StrictMode);
    const QString shown = withoutCredentials(text);
    if (!url.isValid() || url.host().isEmpty())
        return QStringLiteral("%1 is not a valid web address.").arg(shown);
    url.setScheme(url.scheme().toLower());
    if (!isHttpScheme(url.scheme()))
        return QStringLiteral("%1 is not an http:// or https:// address.").arg(shown);
    if (url.hasQuery() || url.hasFragment())
        return QStringLiteral("%1: a store's address cannot carry a query or a fragment.").arg(shown);
    QString path = url.path(QUrl::FullyEncoded);
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    url.setPath(path, QUrl::TolerantMode);
    return HttpLocation(url);
}

QString HttpLocation::displayName() const {
    QString shown = m_base.toString(QUrl::RemoveUserInfo);
    while (shown.endsWith(QLatin1Char('/')))
        shown.chop(1);
    return shown;
}

QString HttpLocation::displayUrl(const QString& key) const {
    return displayName() + QLatin1Char('/') + key;
}

std::variant<QByteArray, QString> HttpLocation::requestUrl(const QString& key) const {
    QByteArray url = m_base.toEncoded();
    const QStringList segments = key.split(QLatin1Char('/'));
    for (qsizetype i = 0; i < segments.size(); ++i) {
        if (!isPlainSegment(segments[i]))
            return QStringLiteral("The key \"%1\" reaches outside the store %2.").arg(key, displayName());
        if (i > 0)
            url += '/';
        url += QUrl::toPercentEncoding(segments[i]);
    }
    return url;
}
