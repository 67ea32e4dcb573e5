#include "volume/nrrd/NrrdHeader.h"

#include <QList>
#include <QLocale>
#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

constexpr QChar kTokenSeparator = u' ';
constexpr int kAxes = 3;

qsizetype skipWhiteSpace(QStringView text) {
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    return i;
}

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

qsizetype skipDigits(QStringView text, qsizetype i) {
    while (i < text.size() && isDigit(text[i]))
        ++i;
    return i;
}

// Lines end at LF, CR or CR LF; the terminator is not part of the line, and a final
// terminator does not start another (empty) line.
QStringList splitLines(QStringView text) {
    QStringList lines;
    qsizetype start = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const QChar c = text[i];
        if (c == u'\n' || c == u'\r') {
            lines.append(text.sliced(start, i - start).toString());
            i += (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ? 2 : 1;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size())
        lines.append(text.sliced(start).toString());
    return lines;
}

QString joinTokens(const QList<QStringView>& tokens, qsizetype from) {
    QString joined;
    for (qsizetype i = from; i < tokens.size(); ++i) {
        if (i > from)
            joined += kTokenSeparator;
        joined += tokens[i];
    }
    return joined;
}

// Sizes written by tools end at the last number; a trailing space must not count as
// one more (empty) size.
int countSizes(const QList<QStringView>& tokens) {
    qsizetype last = tokens.size();
    while (last > 1 && tokens[last - 1].isEmpty())
        --last;
    return static_cast<int>(last - 1);
}

// The length of a direction vector "(a,b,c)" (brackets included), which is the voxel
// spacing along its axis however the axis is turned, and the angle in degrees between
// it and the nearest axis of space.
struct Direction {
    double length = 0.0;
    double tilt = 0.0;
    std::optional<NrrdHeader::AxisSpacing> vector; // where it has exactly three components
};

std::optional<Direction> direction(QStringView vector) {
    const QList<QStringView> components = vector.sliced(1, vector.size() - 2).split(u',');
    if (components.size() < kAxes)
        return std::nullopt;
    double squares = 0.0;
    double largest = 0.0;
    std::optional<NrrdHeader::AxisSpacing> threeComponents;
    if (components.size() == kAxes)
        threeComponents = NrrdHeader::AxisSpacing{
            nrrdFloatValue(components[0]), nrrdFloatValue(components[1]), nrrdFloatValue(components[2])};
    for (QStringView component : components) {
        const double value = nrrdFloatValue(component);
        squares += value * value;
        largest = std::max(largest, std::fabs(value));
    }
    const double length = std::sqrt(squares);
    const double cosine = length > 0.0 ? std::clamp(largest / length, 0.0, 1.0) : 1.0;
    return Direction{length, std::acos(cosine) * 180.0 / std::numbers::pi, threeComponents};
}

// "space directions:" values: one vector per axis, "(x,y,z)", or "none". Writers that
// put a space after each comma split a vector over several tokens, so tokens are
// joined again until the closing bracket.
std::optional<NrrdHeader::Directions> directions(const QList<QStringView>& tokens) {
    QStringList entries;
    QString vector;
    bool inVector = false;
    for (QStringView token : tokens) {
        if (!inVector) {
            if (token.isEmpty())
                continue;
            if (token == u"none") {
                entries.append(token.toString());
                continue;
            }
            if (!token.startsWith(u'('))
                return std::nullopt;
            vector.clear();
            inVector = true;
        }
        vector += token;
        if (vector.endsWith(u')')) {
            entries.append(vector);
            inVector = false;
        }
    }
    if (inVector || entries.size() < kAxes)
        return std::nullopt;

    NrrdHeader::Directions read;
    std::array<NrrdHeader::AxisSpacing, kAxes> vectors{};
    bool everyVector = true;
    for (int axis = 0; axis < kAxes; ++axis) {
        if (entries[axis] == u"none") {
            everyVector = false;
            continue;
        }
        const std::optional<Direction> value = direction(entries[axis]);
        if (!value)
            return std::nullopt;
        read.spacing[axis] = value->length;
        read.tilt = std::max(read.tilt, value->tilt);
        everyVector = everyVector && value->vector.has_value();
        if (value->vector)
            vectors[axis] = *value->vector;
    }
    if (everyVector)
        read.vectors = vectors;
    return read;
}

void applyLine(NrrdHeader& header, QStringView line) {
    const QList<QStringView> tokens = line.split(kTokenSeparator);
    const QStringView key = tokens[0];
    const qsizetype count = tokens.size();
    const auto second = [&](QStringView word) { return count > 1 && tokens[1] == word; };

    if (key == u"type:" && count >= 2) {
        header.type = tokens[1].toString();
        header.typeText = joinTokens(tokens, 1);
    } else if (key == u"dimension:" && count >= 2) {
        header.dimension = nrrdIntValue(tokens[1]);
    } else if (key == u"sizes:" && count >= 4) {
        header.sizes = {nrrdIntValue(tokens[1]), nrrdIntValue(tokens[2]), nrrdIntValue(tokens[3])};
        header.sizeCount = countSizes(tokens);
    } else if (key == u"encoding:" && count >= 2) {
        header.encoding = tokens[1].toString();
    } else if (key == u"data" && second(u"file:") && count >= 3) {
        header.dataFile = tokens[2].toString();
        header.dataFileText = joinTokens(tokens, 2).trimmed();
    } else if (key == u"datafile:" && count >= 2) {
        header.dataFile = tokens[1].toString();
        header.dataFileText = joinTokens(tokens, 1).trimmed();
    } else if (key == u"space" && second(u"directions:") && count >= 5) {
        if (const auto read = directions(tokens.mid(2))) {
            header.directionSpacing = read->spacing;
            header.directionTilt = read->tilt;
            header.directionVectors = read->vectors;
        }
    } else if (key == u"space:" && count >= 2) {
        header.space = tokens[1].toString();
    } else if (key == u"endian:" && count >= 2) {
        header.endian = tokens[1].toString();
    } else if (key == u"spacings:" && count >= 4) {
        header.spacings = NrrdHeader::AxisSpacing{nrrdFloatValue(tokens[1]), nrrdFloatValue(tokens[2]),
                                                  nrrdFloatValue(tokens[3])};
    } else if (key == u"byte" && second(u"skip:") && count >= 3) {
        header.byteSkip = nrrdIntValue(tokens[2]);
    } else if (key == u"byteskip:" && count >= 2) {
        header.byteSkip = nrrdIntValue(tokens[1]);
    } else if (key == u"line" && second(u"skip:") && count >= 3) {
        header.lineSkip = nrrdIntValue(tokens[2]);
    } else if (key == u"lineskip:" && count >= 2) {
        header.lineSkip = nrrdIntValue(tokens[1]);
    }
}

} // namespace

std::int32_t nrrdIntValue(QStringView text) {
    qsizetype i = skipWhiteSpace(text);
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    std::int64_t magnitude = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        // Past -kMin the result saturates whatever digits follow.
        if (magnitude <= -kMin)
            magnitude = magnitude * 10 + (text[i].unicode() - u'0');
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    return static_cast<std::int32_t>(std::clamp(value, kMin, kMax));
}

double nrrdFloatValue(QStringView text) {
    const qsizetype start = skipWhiteSpace(text);
    qsizetype i = start;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        ++i;
    const qsizetype integerEnd = skipDigits(text, i);
    qsizetype end = integerEnd;
    bool hasDigits = integerEnd > i;
    if (end < text.size() && text[end] == u'.') {
        const qsizetype fractionEnd = skipDigits(text, end + 1);
        hasDigits = hasDigits || fractionEnd > end + 1;
        end = fractionEnd;
    }
    if (!hasDigits)
        return 0.0;
    // An exponent counts only when digits follow it ("2e" is the number 2).
    if (end < text.size() && (text[end] == u'e' || text[end] == u'E')) {
        qsizetype e = end + 1;
        if (e < text.size() && (text[e] == u'-' || text[e] == u'+'))
            ++e;
        const qsizetype exponentEnd = skipDigits(text, e);
        if (exponentEnd > e)
            end = exponentEnd;
    }
    QStringView number = text.sliced(start, end - start);
    const bool negative = number.startsWith(u'-');
    if (number.startsWith(u'+') || negative)
        number = number.sliced(1);
    bool ok = false;
    double value = QLocale::c().toDouble(number, &ok);
    if (!ok && !std::isinf(value))
        value = 0.0; // underflow: the number is closer to 0 than a double can say
    return negative ? -value : value;
}

NrrdHeader NrrdHeader::parse(QStringView text) {
    NrrdHeader header;
    header.lines = splitLines(text);
    for (const QString& line : std::as_const(header.lines))
        applyLine(header, line);
    return header;
}
