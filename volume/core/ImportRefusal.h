#pragma once

#include <QString>
#include <cstdint>
#include <variant>

// Why an NRRD file cannot be imported, in words the user can act on
// ("The data file head.raw is 1024 bytes shorter than the volume needs.").
struct ImportRefusal {
    QString reason;

    // The samples of a volume end before the volume does: `have` bytes of the `need`.
    static ImportRefusal shortData(std::uint64_t have, std::uint64_t need) {
        return {QStringLiteral("The data holds %1 bytes of samples but the volume needs %2: it is %3 short.")
                    .arg(have)
                    .arg(need)
                    .arg(counted(need - have, "byte", "bytes"))};
    }
    // "1 byte", "2 bytes".
    static QString counted(std::uint64_t count, const char* one, const char* many) {
        return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? one : many));
    }
};

// The outcome of an import step: its value, or the reason it was refused. Never a
// half-filled value: a step that fails hands back only the refusal.
// The refusal of an import whose caller gave it up while it was read.
inline ImportRefusal cancelledImport() {
    return ImportRefusal{QStringLiteral("The import was cancelled.")};
}

template <typename T> using ImportResult = std::variant<T, ImportRefusal>;
