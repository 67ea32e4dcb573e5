#include "volume/files/NumberedFiles.h"

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

std::optional<ImportRefusal> NumberedFiles::refuseGaps(const QStringList& run) {
    std::vector<qulonglong> numbers;
    for (const QString& file : run)
        numbers.push_back(kNumberedName.match(QFileInfo(file).fileName()).captured(2).toULongLong());
    const auto name = [&run](std::size_t i) { return QFileInfo(run[static_cast<qsizetype>(i)]).fileName(); };
    qulonglong step = 0;
    for (std::size_t i = 1; i < numbers.size(); ++i) {
        if (numbers[i] == numbers[i - 1])
            return ImportRefusal{
                QStringLiteral("%1 and %2 carry the same slice number (%3): the stack cannot be "
                               "put in order.")
                    .arg(name(i - 1), name(i))
                    .arg(numbers[i])};
        step = step == 0 ? numbers[i] - numbers[i - 1] : std::min(step, numbers[i] - numbers[i - 1]);
    }
    for (std::size_t i = 1; i < numbers.size(); ++i) {
        if (numbers[i] - numbers[i - 1] != step)
            return ImportRefusal{
                QStringLiteral("The numbered slices jump from %1 to %2 where the others go up "
                               "by %3: slices are missing, and the stack shown at even spacing "
                               "would be distorted.")
                    .arg(name(i - 1), name(i))
                    .arg(step)};
    }
    return std::nullopt;
}
