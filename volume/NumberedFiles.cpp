#include "NumberedFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <utility>
#include <vector>

namespace {

// The last run of digits before the extension: prefix, number, rest.
const QRegularExpression kNumberedName(QStringLiteral("^(.*?)(\\d+)(\\.[^.]*)?$"));

} // namespace

QStringList NumberedFiles::around(const QString& path) {
    const QFileInfo picked(path);
    const QRegularExpressionMatch match = kNumberedName.match(picked.fileName());
    if (!match.hasMatch())
        return {path};
    const QString prefix = match.captured(1);
    const QString suffix = match.captured(3);

    std::vector<std::pair<qulonglong, QString>> numbered;
    const QDir folder = picked.absoluteDir();
    // Pipes, devices and dangling links are listed too: a slice that is one of them is
    // refused by name when it is read, rather than missed.
    for (const QString& name : folder.entryList(QDir::Files | QDir::System)) {
        if (!name.startsWith(prefix) || !name.endsWith(suffix) ||
            name.size() <= prefix.size() + suffix.size())
            continue;
        const QStringView digits =
            QStringView(name).sliced(prefix.size(), name.size() - prefix.size() - suffix.size());
        if (!std::all_of(digits.begin(), digits.end(),
                         [](QChar c) { return c.isDigit() && c.unicode() < 128; }))
            continue;
        bool ok = false;
        const qulonglong number = digits.toULongLong(&ok);
        if (ok)
            numbered.emplace_back(number, folder.filePath(name));
    }
    if (numbered.size() < 2)
        return {path};
    std::sort(numbered.begin(), numbered.end());
    QStringList files;
    for (const auto& [number, file] : numbered)
        files << file;
    return files;
}
