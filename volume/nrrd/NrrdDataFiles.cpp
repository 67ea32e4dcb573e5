#include "volume/nrrd/NrrdDataFiles.h"

#include <QDir>
#include <limits>
#include <optional>

namespace {

constexpr int kAxes = 3;
// "<format> <first> <last> <step>": the pattern and its three numbers.
constexpr qsizetype kPatternTokens = 4;
constexpr qsizetype kSubdimPatternToken = 4;
constexpr qsizetype kSubdimListToken = 1;
constexpr QStringView kList = u"LIST";

std::optional<qint64> integer(QStringView token) {
    bool ok = false;
    const qint64 value = token.toLongLong(&ok);
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

QList<QStringView> tokensOf(const QString& text) {
    return QStringView(text).split(u' ', Qt::SkipEmptyParts);
}

// printf's integer conversions as NRRD writers use them: one "%d", "%i" or "%u" with an
// optional zero flag and width; "%%" is a percent sign. Anything else is refused rather
// than handed to printf.
class FilePattern {
  public:
    static std::optional<FilePattern> parse(QStringView pattern) {
        FilePattern result;
        bool converted = false;
        for (qsizetype i = 0; i < pattern.size(); ++i) {
            if (pattern[i] != u'%') {
                (converted ? result.m_suffix : result.m_prefix) += pattern[i];
                continue;
            }
            if (++i >= pattern.size())
                return std::nullopt;
            if (pattern[i] == u'%') {
                (converted ? result.m_suffix : result.m_prefix) += u'%';
                continue;
            }
            if (converted)
                return std::nullopt;
            if (pattern[i] == u'0') {
                result.m_zeros = true;
                ++i;
            }
            constexpr int kMaxWidth = 32;
            while (i < pattern.size() && pattern[i].isDigit()) {
                result.m_width = result.m_width * 10 + pattern[i].digitValue();
                if (result.m_width > kMaxWidth)
                    return std::nullopt;
                ++i;
            }
            if (i >= pattern.size() || (pattern[i] != u'd' && pattern[i] != u'i' && pattern[i] != u'u'))
                return std::nullopt;
            converted = true;
        }
        if (!converted)
            return std::nullopt;
        return result;
    }

    QString name(qint64 number) const {
        return m_prefix +
               QStringLiteral("%1").arg(number, m_width, 10, m_zeros ? QLatin1Char('0') : QLatin1Char(' ')) +
               m_suffix;
    }

  private:
    QString m_prefix;
    QString m_suffix;
    int m_width = 0;
    bool m_zeros = false;
};

// How many files the volume needs when each holds its first `subdim` axes.
std::optional<qint64> filesNeeded(const std::array<std::int32_t, 3>& sizes, qint64 subdim) {
    if (subdim < 1 || subdim > kAxes)
        return std::nullopt;
    qint64 files = 1;
    for (qint64 axis = subdim; axis < kAxes; ++axis)
        files *= sizes[static_cast<std::size_t>(axis)];
    return files;
}

ImportRefusal wrongCount(qint64 named, qint64 needed) {
    return ImportRefusal{QStringLiteral("The header names %1 data files but the volume is stored in %2.")
                             .arg(named)
                             .arg(needed)};
}

std::optional<qint64> subdimAt(const QList<QStringView>& tokens, qsizetype index) {
    if (tokens.size() <= index)
        return kAxes - 1;
    return integer(tokens[index]);
}

} // namespace

bool NrrdDataFiles::namesSeveral(const QString& dataFileText) {
    const QList<QStringView> tokens = tokensOf(dataFileText);
    if (tokens.isEmpty())
        return false;
    if (tokens[0] == kList)
        return true;
    return tokens.size() >= kPatternTokens && tokens[0].contains(u'%') && integer(tokens[1]) &&
           integer(tokens[2]) && integer(tokens[3]);
}

ImportResult<QStringList> NrrdDataFiles::list(const NrrdHeader& header,
                                              const std::array<std::int32_t, 3>& sizes,
                                              const QString& headerFolder) {
    const QDir folder(headerFolder);
    const QList<QStringView> tokens = tokensOf(header.dataFileText);
    const bool isList = !tokens.isEmpty() && tokens[0] == kList;
    const std::optional<qint64> subdim = subdimAt(tokens, isList ? kSubdimListToken : kSubdimPatternToken);
    const std::optional<qint64> needed = subdim ? filesNeeded(sizes, *subdim) : std::nullopt;
    if (!needed)
        return ImportRefusal{QStringLiteral("\"data file: %1\" gives no usable number of axes per file.")
                                 .arg(header.dataFileText)};
    if (*needed > kMaxFiles)
        return ImportRefusal{QStringLiteral("The volume is stored in %1 data files; at most %2 can be read.")
                                 .arg(*needed)
                                 .arg(kMaxFiles)};

    QStringList files;
    if (isList) {
        // The names follow the "data file: LIST" line, one per line, to the end of the header.
        qsizetype listLine = -1;
        for (qsizetype i = 0; i < header.lines.size(); ++i) {
            const QList<QStringView> lineTokens = tokensOf(header.lines[i]);
            if ((lineTokens.size() >= 3 && lineTokens[0] == u"data" && lineTokens[1] == u"file:" &&
                 lineTokens[2] == kList) ||
                (lineTokens.size() >= 2 && lineTokens[0] == u"datafile:" && lineTokens[1] == kList))
                listLine = i;
        }
        for (qsizetype i = listLine + 1; i < header.lines.size(); ++i) {
            const QString name = header.lines[i].trimmed();
            if (!name.isEmpty())
                files << QDir::cleanPath(folder.filePath(name));
        }
        if (files.size() != *needed)
            return wrongCount(files.size(), *needed);
        return files;
    }

    const std::optional<FilePattern> pattern = FilePattern::parse(tokens[0]);
    const qint64 first = *integer(tokens[1]);
    const qint64 last = *integer(tokens[2]);
    const qint64 step = *integer(tokens[3]);
    constexpr qint64 kLargestNumber = std::numeric_limits<std::int32_t>::max();
    for (const qint64 number : {first, last, step}) {
        if (number > kLargestNumber || number < -kLargestNumber)
            return ImportRefusal{QStringLiteral("The file number %1 is out of range.").arg(number)};
    }
    if (!pattern)
        return ImportRefusal{
            QStringLiteral("\"%1\" is no file name pattern with one integer conversion such as %03d.")
                .arg(tokens[0])};
    if (step == 0 || (last - first) / step < 0)
        return ImportRefusal{QStringLiteral("The numbers %1 to %2 in steps of %3 name no files.")
                                 .arg(first)
                                 .arg(last)
                                 .arg(step)};
    const qint64 count = (last - first) / step + 1;
    if (count != *needed)
        return wrongCount(count, *needed);
    for (qint64 i = 0; i < count; ++i)
        files << QDir::cleanPath(folder.filePath(pattern->name(first + i * step)));
    return files;
}
