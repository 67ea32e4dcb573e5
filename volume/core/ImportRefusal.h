#pragma once

#include <QString>
#include <variant>

// Why an NRRD file cannot be imported, in words the user can act on
// ("The data file head.raw is 1024 bytes shorter than the volume needs.").
struct ImportRefusal {
    QString reason;
};

// The outcome of an import step: its value, or the reason it was refused. Never a
// half-filled value: a step that fails hands back only the refusal.
// The refusal of an import whose caller gave it up while it was read.
inline ImportRefusal cancelledImport() {
    return ImportRefusal{QStringLiteral("The import was cancelled.")};
}

template <typename T> using ImportResult = std::variant<T, ImportRefusal>;
