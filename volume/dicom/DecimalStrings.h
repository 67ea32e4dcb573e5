#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <cstddef>
#include <optional>

// The numbers of a multi-valued decimal string element ("-10\-20\30", DICOM's padding
// around each): none unless it holds exactly N that read as numbers. "nan" and "inf" read as
// numbers too; the caller says whether such a value can place anything.
template <std::size_t N> std::optional<std::array<double, N>> decimalStrings(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('\\'));
    if (parts.size() != static_cast<qsizetype>(N))
        return std::nullopt;
    std::array<double, N> values{};
    for (std::size_t i = 0; i < N; ++i) {
        bool ok = false;
        values[i] = parts[static_cast<qsizetype>(i)].trimmed().toDouble(&ok);
        if (!ok)
            return std::nullopt;
    }
    return values;
}
