#include "volume/tiff/ImageJDescription.h"

#include <QList>
#include <array>
#include <cmath>

namespace {

struct UnitScale {
    const char16_t* name;
    double millimetres;
};

constexpr std::array kUnits{
    UnitScale{u"mm", 1.0},         UnitScale{u"millimeter", 1.0}, UnitScale{u"millimetre", 1.0},
    UnitScale{u"micron", 1e-3},    UnitScale{u"um", 1e-3},        UnitScale{u"\u00B5m", 1e-3},
    UnitScale{u"\u03BCm", 1e-3},   UnitScale{u"microns", 1e-3},   UnitScale{u"nm", 1e-6},
    UnitScale{u"nanometer", 1e-6}, UnitScale{u"cm", 10.0},        UnitScale{u"m", 1000.0},
    UnitScale{u"meter", 1000.0},   UnitScale{u"inch", 25.4},
};

constexpr QStringView kMagic = u"ImageJ=";

int positiveCount(QStringView value) {
    bool ok = false;
    const int count = value.toInt(&ok);
    return ok && count > 0 ? count : 1;
}

} // namespace

std::optional<ImageJDescription> ImageJDescription::parse(QStringView text) {
    if (!text.startsWith(kMagic))
        return std::nullopt;
    ImageJDescription description;
    for (QStringView line : text.split(u'\n')) {
        const qsizetype equals = line.indexOf(u'=');
        if (equals <= 0)
            continue;
        const QStringView key = line.first(equals).trimmed();
        const QStringView value = line.sliced(equals + 1).trimmed();
        if (key == u"spacing") {
            bool ok = false;
            const double spacing = value.toDouble(&ok);
            if (ok && std::isfinite(spacing) && spacing > 0.0)
                description.spacing = spacing;
        } else if (key == u"unit") {
            description.unit = value.toString();
        } else if (key == u"slices") {
            description.slices = positiveCount(value);
        } else if (key == u"channels") {
            description.channels = positiveCount(value);
        } else if (key == u"frames") {
            description.frames = positiveCount(value);
        }
    }
    return description;
}

std::optional<double> ImageJDescription::millimetresPerUnit() const {
    // ImageJ escapes the micro sign as "\u00B5" in text it writes.
    const QString written = QString(unit).replace(QStringLiteral("\\u00B5"), QStringLiteral("\u00B5"));
    for (const UnitScale& scale : kUnits) {
        if (written.compare(QStringView(scale.name), Qt::CaseInsensitive) == 0)
            return scale.millimetres;
    }
    return std::nullopt;
}
