// Index of this file: the constants and the transfer syntaxes; Walk, which reads element
// headers with every length checked (read, readHeader, inside), walks the file meta
// information, the data set, its sequences and the fragments of compressed pixel data
// (walkMeta, walkElements, walkValue, walkSequence, walkFragments), notes the facts that
// size the pixel data and say where GDCM will look (note), and judges them at the end
// (checkPixelData, checkFunctionalGroups); DicomFileCheck::check, which names the file.

#include "volume/dicom/DicomFileCheck.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>
#include <cstdint>
#include <gdcmDicts.h>
#include <gdcmGlobal.h>
#include <gdcmMediaStorage.h>
#include <gdcmPhotometricInterpretation.h>
#include <gdcmVR.h>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

namespace {

constexpr qint64 kPreambleBytes = 128;
constexpr std::string_view kMagic = "DICM";
constexpr qint64 kTagBytes = 4;
constexpr std::uint32_t kUndefinedLength = 0xffffffff;
constexpr std::uint16_t kMetaGroup = 0x0002;
constexpr std::uint16_t kItemGroup = 0xfffe;
// A UID is at most 64 characters, a decimal string 16, an integer string 12.
constexpr std::uint32_t kMaxUidBytes = 64;
constexpr std::uint32_t kMaxDecimalStringBytes = 16;
constexpr std::uint32_t kMaxIntegerStringBytes = 12;
constexpr std::uint64_t kBitsPerByte = 8;
// An RLE frame's header: the number of segments and 15 offsets, 32 bits each.
constexpr std::uint32_t kRleHeaderBytes = 64;
constexpr std::uint32_t kRleMaxSegments = 15;

constexpr std::uint32_t tagOf(std::uint16_t group, std::uint16_t element) {
    return std::uint32_t{group} << 16 | element;
}
constexpr std::uint32_t kGroupLength = tagOf(0x0002, 0x0000);
constexpr std::uint32_t kMediaStorage = tagOf(0x0002, 0x0002);
constexpr std::uint32_t kTransferSyntax = tagOf(0x0002, 0x0010);
constexpr std::uint32_t kSopClass = tagOf(0x0008, 0x0016);
constexpr std::uint32_t kImageOrientation = tagOf(0x0020, 0x0037);
constexpr std::uint32_t kSamplesPerPixel = tagOf(0x0028, 0x0002);
constexpr std::uint32_t kPhotometric = tagOf(0x0028, 0x0004);
// A code string is at most 16 characters; a longer name is still read, as GDCM reads it.
constexpr std::uint32_t kMaxPhotometricBytes = 64;
constexpr std::uint32_t kRecognitionCode = tagOf(0x0008, 0x0010);
constexpr std::uint32_t kMaxRecognitionCodeBytes = 64;
constexpr std::uint32_t kFrames = tagOf(0x0028, 0x0008);
constexpr std::uint32_t kRows = tagOf(0x0028, 0x0010);
constexpr std::uint32_t kColumns = tagOf(0x0028, 0x0011);
constexpr std::uint32_t kBitsAllocated = tagOf(0x0028, 0x0100);
constexpr std::uint32_t kRescaleSlope = tagOf(0x0028, 0x1053);
constexpr std::uint32_t kPixelData = tagOf(0x7fe0, 0x0010);
constexpr std::uint32_t kItem = tagOf(kItemGroup, 0xe000);
constexpr std::uint32_t kItemEnd = tagOf(kItemGroup, 0xe00d);
constexpr std::uint32_t kSequenceEnd = tagOf(kItemGroup, 0xe0dd);
// The functional groups of enhanced multi-frame files, and the sequences in them that
// GDCM opens at their first item without asking whether there is one.
constexpr std::uint32_t kSharedGroups = tagOf(0x5200, 0x9229);
constexpr std::uint32_t kPerFrameGroups = tagOf(0x5200, 0x9230);
constexpr std::uint32_t kPlanePosition = tagOf(0x0020, 0x9113);
constexpr std::uint32_t kPlaneOrientation = tagOf(0x0020, 0x9116);
constexpr std::uint32_t kPixelMeasures = tagOf(0x0028, 0x9110);
constexpr std::uint32_t kValueTransformation = tagOf(0x0028, 0x9145);
constexpr std::uint32_t kUltrasoundRegions = tagOf(0x0018, 0x6011);
constexpr std::uint32_t kOpenedUnasked[] = {kPlanePosition, kPixelMeasures, kValueTransformation,
                                            kUltrasoundRegions};

// The value representations of the standard. In explicit VR those of the second list
// carry a 32-bit length after two reserved bytes, the others a 16-bit one.
constexpr std::string_view kShortVrs = "AE AS AT CS DA DS DT FD FL IS LO LT PN SH SL SS ST TM UI UL US";
constexpr std::string_view kLongVrs = "OB OD OF OL OV OW SQ SV UC UN UR UT UV";

bool listed(std::string_view list, std::string_view vr) {
    for (std::size_t at = 0; at + 2 <= list.size(); at += 3) {
        if (list.substr(at, 2) == vr)
            return true;
    }
    return false;
}

struct Encoding {
    bool explicitVr = true;
    bool bigEndian = false;
};
// The file meta information, and the inside of a UN element of undefined length.
constexpr Encoding kExplicitLittle{true, false};
constexpr Encoding kImplicitLittle{false, false};

struct Syntax {
    Encoding encoding;
    bool encapsulated = false; // Pixel Data as compressed fragments
    bool rle = false;          // ... each an RLE frame
};

// How the data set of each transfer syntax is encoded; nothing for a syntax the walk
// cannot follow (deflated) or does not know.
std::optional<Syntax> syntaxOf(const QByteArray& uid) {
    if (uid == "1.2.840.10008.1.2")
        return Syntax{kImplicitLittle, false};
    if (uid == "1.2.840.10008.1.2.1")
        return Syntax{kExplicitLittle, false};
    if (uid == "1.2.840.10008.1.2.2")
        return Syntax{Encoding{true, true}, false};
    // RLE, and the JPEG family (baseline to lossless, JPEG-LS, JPEG 2000).
    if (uid == "1.2.840.10008.1.2.5")
        return Syntax{kExplicitLittle, true, true};
    if (uid.startsWith("1.2.840.10008.1.2.4."))
        return Syntax{kExplicitLittle, true};
    return std::nullopt;
}

QString tagText(std::uint32_t tag) {
    return QStringLiteral("(%1,%2)")
        .arg(tag >> 16, 4, 16, QLatin1Char('0'))
        .arg(tag & 0xffff, 4, 16, QLatin1Char('0'));
}

// a × b × ..., or nothing when the product does not fit in 64 bits.
std::optional<std::uint64_t> product(std::initializer_list<std::uint64_t> factors) {
    std::uint64_t result = 1;
    for (const std::uint64_t factor : factors) {
        if (factor != 0 && result > std::numeric_limits<std::uint64_t>::max() / factor)
            return std::nullopt;
        result *= factor;
    }
    return result;
}

std::uint16_t u16(const char* bytes, Encoding encoding) {
    return encoding.bigEndian ? qFromBigEndian<std::uint16_t>(bytes)
                              : qFromLittleEndian<std::uint16_t>(bytes);
}

std::uint32_t u32(const char* bytes, Encoding encoding) {
    return encoding.bigEndian ? qFromBigEndian<std::uint32_t>(bytes)
                              : qFromLittleEndian<std::uint32_t>(bytes);
}

// The VR the standard gives a public element; INVALID for private and unknown ones.
gdcm::VR dictionaryVr(std::uint32_t tag) {
    const auto group = static_cast<std::uint16_t>(tag >> 16);
    if (group % 2 != 0)
        return gdcm::VR::INVALID;
    const gdcm::Tag key(group, static_cast<std::uint16_t>(tag & 0xffff));
    return gdcm::Global::GetInstance().GetDicts().GetPublicDict().GetDictEntry(key).GetVR();
}

// One element's header: its tag, its VR (empty in implicit VR and for items), its length
// and where its value starts.
struct Element {
    std::uint32_t tag = 0;
    std::string_view vr;
    std::uint32_t length = 0;
    qint64 valueAt = 0;

    std::uint16_t group() const { return static_cast<std::uint16_t>(tag >> 16); }
    bool undefinedLength() const { return length == kUndefinedLength; }
    qint64 end() const { return valueAt + length; }
};

// The SOP classes whose geometry GDCM reads from the functional groups (ImageHelper's
// enhanced multi-frame branch).
bool readFromFunctionalGroups(const QByteArray& uid) {
    using MS = gdcm::MediaStorage;
    static constexpr MS::MSType kEnhanced[] = {
        MS::EnhancedCTImageStorage,
        MS::EnhancedMRImageStorage,
        MS::EnhancedMRColorImageStorage,
        MS::EnhancedPETImageStorage,
        MS::OphthalmicTomographyImageStorage,
        MS::MultiframeSingleBitSecondaryCaptureImageStorage,
        MS::MultiframeGrayscaleByteSecondaryCaptureImageStorage,
        MS::MultiframeGrayscaleWordSecondaryCaptureImageStorage,
        MS::MultiframeTrueColorSecondaryCaptureImageStorage,
        MS::XRay3DAngiographicImageStorage,
        MS::XRay3DCraniofacialImageStorage,
        MS::SegmentationStorage,
        MS::IVOCTForProcessing,
        MS::IVOCTForPresentation,
        MS::BreastTomosynthesisImageStorage,
        MS::BreastProjectionXRayImageStorageForPresentation,
        MS::BreastProjectionXRayImageStorageForProcessing,
        MS::LegacyConvertedEnhancedMRImageStorage,
        MS::LegacyConvertedEnhancedCTImageStorage,
        MS::LegacyConvertedEnhancedPETImageStorage,
    };
    const MS::MSType type = MS::GetMSType(uid.constData());
    return std::ranges::find(kEnhanced, type) != std::end(kEnhanced);
}

// The facts of the data set that size the pixel data and say where GDCM will look.
struct ImageFacts {
    // The SOP class as the file meta information and the data set name it: GDCM takes the
    // first it knows.
    QByteArray metaSopClass;
    QByteArray sopClass;
    bool groupsMeasurePixels = false; // Pixel Measures in the first functional group
    bool groupsOrientPlanes = false;  // Image Orientation in its Plane Orientation
    std::uint64_t rows = 0;
    std::uint64_t columns = 0;
    std::uint64_t samplesPerPixel = 1;
    std::uint64_t bitsAllocated = 0;
    std::uint64_t frames = 1;
    QByteArray photometric; // as GDCM parses it: it reads short or padded names leniently
    std::optional<Element> pixelData;
};

class Walk {
  public:
    Walk(QFile& file, qint64 size) : m_file(file), m_size(size) {}

    DicomFileCheck::Result run();

  private:
    bool read(qint64 at, char* out, qint64 count);
    bool readTag(qint64 at, Encoding encoding, std::uint32_t& tag);
    bool readHeader(qint64 at, Encoding encoding, Element& element);
    bool readItemHeader(qint64 at, Encoding encoding, Element& element);
    bool standardVr(const Element& element);
    bool inside(const Element& element, std::optional<qint64> end);
    bool startsWithItem(const Element& element, Encoding encoding);

    bool text(const Element& element, std::uint32_t maxBytes, QByteArray& value);

    bool walkMeta(qint64& at, QByteArray& transferSyntax);
    bool walkElements(qint64& at, std::optional<qint64> end, Encoding encoding);
    bool walkValue(qint64& at, const Element& element, std::optional<qint64> end, Encoding encoding);
    bool walkSequence(qint64& at, std::optional<qint64> end, Encoding encoding, std::uint32_t tag,
                      int& items);
    bool walkFragments(qint64& at, Encoding encoding);
    bool checkRleHeader(const Element& fragment);
    bool where(std::initializer_list<std::uint32_t> sequences) const;
    bool note(const Element& element, Encoding encoding);
    bool checkPixelData(const Syntax& syntax);
    bool checkFunctionalGroups();

    // One more element or item; a file of millions of empty ones would keep the walk busy.
    bool counted() {
        return ++m_elements <= DicomFileCheck::kMaxElements ||
               fail(QStringLiteral("it holds more than %1 elements").arg(DicomFileCheck::kMaxElements));
    }
    bool fail(const QString& fault) {
        m_fault = fault;
        return false;
    }

    // The sequences around the element being walked, outermost first, and the item of
    // each (counted from 1).
    struct Level {
        std::uint32_t sequence;
        int item;
    };

    QFile& m_file;
    const qint64 m_size;
    int m_elements = 0;
    std::vector<Level> m_path;
    bool m_rle = false;
    ImageFacts m_facts;
    QString m_fault;
};

bool Walk::read(qint64 at, char* out, qint64 count) {
    if (at < 0 || count > m_size - at)
        return fail(
            QStringLiteral("the file is cut short inside an element's header at byte %1").arg(m_size));
    if (!m_file.seek(at) || m_file.read(out, count) != count)
        return fail(QStringLiteral("its bytes from %1 on cannot be read").arg(at));
    return true;
}

bool Walk::readTag(qint64 at, Encoding encoding, std::uint32_t& tag) {
    char bytes[kTagBytes];
    if (!read(at, bytes, kTagBytes))
        return false;
    tag = tagOf(u16(bytes, encoding), u16(bytes + 2, encoding));
    return true;
}

bool Walk::readHeader(qint64 at, Encoding encoding, Element& element) {
    if (!readTag(at, encoding, element.tag))
        return false;
    if (!encoding.explicitVr || element.group() == kItemGroup)
        return readItemHeader(at, encoding, element);
    char bytes[8];
    if (!read(at + kTagBytes, bytes, 4))
        return false;
    const std::string_view vr(bytes, 2);
    if (listed(kShortVrs, vr)) {
        element.vr = kShortVrs.substr(kShortVrs.find(vr), 2);
        element.length = u16(bytes + 2, encoding);
        element.valueAt = at + 8;
        return standardVr(element);
    }
    if (!listed(kLongVrs, vr))
        return fail(QStringLiteral("element %1 has no known value representation").arg(tagText(element.tag)));
    element.vr = kLongVrs.substr(kLongVrs.find(vr), 2);
    if (!read(at + 8, bytes + 4, 4))
        return false;
    element.length = u32(bytes + 4, encoding);
    element.valueAt = at + 12;
    return standardVr(element);
}

// GDCM reads the elements it interprets (Rows, Bits Allocated, Pixel Spacing ...) as the
// VR its dictionary gives them and asserts that the file's VR is compatible: a public
// element stored under an incompatible VR is refused here instead.
bool Walk::standardVr(const Element& element) {
    const gdcm::VR expected = dictionaryVr(element.tag);
    const std::string vr(element.vr);
    if (expected == gdcm::VR::INVALID || expected.Compatible(gdcm::VR::GetVRType(vr.c_str())))
        return true;
    return fail(QStringLiteral("element %1 is stored as %2 where the standard has %3")
                    .arg(tagText(element.tag), QString::fromStdString(vr),
                         QString::fromLatin1(gdcm::VR::GetVRString(expected))));
}

// A tag and a 32-bit length: an item, a delimiter, or an element in implicit VR.
bool Walk::readItemHeader(qint64 at, Encoding encoding, Element& element) {
    char bytes[8];
    if (!read(at, bytes, 8))
        return false;
    element.tag = tagOf(u16(bytes, encoding), u16(bytes + 2, encoding));
    element.vr = {};
    element.length = u32(bytes + 4, encoding);
    element.valueAt = at + 8;
    return true;
}

// The element's value of defined length ends within what holds it.
bool Walk::inside(const Element& element, std::optional<qint64> end) {
    if (element.end() <= end.value_or(m_size))
        return true;
    if (element.end() <= m_size)
        return fail(QStringLiteral("element %1 runs past the end of the item that holds it")
                        .arg(tagText(element.tag)));
    if (element.tag == kPixelData)
        return fail(QStringLiteral("its pixel data is cut short (the file ends %1 bytes early)")
                        .arg(element.end() - m_size));
    return fail(QStringLiteral("element %1 runs %2 bytes past the end of the file, which is cut short")
                    .arg(tagText(element.tag))
                    .arg(element.end() - m_size));
}

// GDCM reads a value of defined length as a sequence when it starts with an item, the
// way implicit VR and UN elements hide their sequences: such a value is walked too.
bool Walk::startsWithItem(const Element& element, Encoding encoding) {
    std::uint32_t tag = 0;
    return element.length >= 8 && readTag(element.valueAt, encoding, tag) && tag == kItem;
}

bool Walk::walkMeta(qint64& at, QByteArray& transferSyntax) {
    std::optional<qint64> groupEnd;
    std::uint32_t tag = 0;
    if (!readTag(at, kExplicitLittle, tag))
        return false;
    if (tag >> 16 != kMetaGroup)
        return fail(QStringLiteral("it has no file meta information after \"DICM\""));
    while (tag >> 16 == kMetaGroup) {
        Element element;
        if (!readHeader(at, kExplicitLittle, element))
            return false;
        if (element.vr == "SQ" || element.undefinedLength())
            return fail(QStringLiteral("its file meta information holds a sequence or an undefined length"));
        if (!inside(element, std::nullopt))
            return false;
        if (element.tag == kGroupLength) {
            char bytes[4];
            if (element.length != 4 || !read(element.valueAt, bytes, 4))
                return fail(QStringLiteral("its file meta information has a group length of %1 bytes")
                                .arg(element.length));
            groupEnd = element.end() + qFromLittleEndian<std::uint32_t>(bytes);
        }
        if (element.tag == kTransferSyntax && !text(element, kMaxUidBytes, transferSyntax))
            return false;
        if (element.tag == kMediaStorage && !text(element, kMaxUidBytes, m_facts.metaSopClass))
            return false;
        at = element.end();
        // GDCM reads the tag that follows the group without asking whether there is one.
        if (!readTag(at, kExplicitLittle, tag))
            return fail(QStringLiteral("the file ends after its file meta information"));
    }
    if (groupEnd && *groupEnd != at)
        return fail(QStringLiteral("its file meta information ends at byte %1, its group length says %2")
                        .arg(at)
                        .arg(*groupEnd));
    if (transferSyntax.isEmpty())
        return fail(QStringLiteral("its file meta information names no transfer syntax"));
    return true;
}

// A short text value without its padding; longer ones are refused.
bool Walk::text(const Element& element, std::uint32_t maxBytes, QByteArray& value) {
    if (element.length > maxBytes)
        return fail(
            QStringLiteral("element %1 is %2 bytes long").arg(tagText(element.tag)).arg(element.length));
    value.resize(element.length);
    if (!read(element.valueAt, value.data(), element.length))
        return false;
    while (value.endsWith('\0') || value.endsWith(' '))
        value.chop(1);
    return true;
}

// The elements from `at` to `end`, or to the item delimiter where the item's length is
// undefined; `at` ends after them.
bool Walk::walkElements(qint64& at, std::optional<qint64> end, Encoding encoding) {
    while (!end || at < *end) {
        Element element;
        if (!readHeader(at, encoding, element) || !counted())
            return false;
        if (element.tag == kItemEnd && !end) {
            if (element.length != 0)
                return fail(QStringLiteral("an item delimiter has a length of %1").arg(element.length));
            at = element.valueAt;
            return true;
        }
        if (element.group() == kItemGroup)
            return fail(QStringLiteral("an item or delimiter %1 stands where an element belongs at byte %2")
                            .arg(tagText(element.tag))
                            .arg(at));
        if (!walkValue(at, element, end, encoding))
            return false;
    }
    if (at != *end)
        return fail(QStringLiteral("an element runs past the end of the item that holds it"));
    return true;
}

// One element's value: a sequence walked item by item, fragments of pixel data, or a
// value of defined length whose facts are noted.
bool Walk::walkValue(qint64& at, const Element& element, std::optional<qint64> end, Encoding encoding) {
    const bool hidden = !encoding.explicitVr || element.vr == "UN";
    // The inside of a UN element is implicit VR little endian, whatever the file's syntax.
    const Encoding inner = element.vr == "UN" ? kImplicitLittle : encoding;
    std::optional<int> items;
    if (element.undefinedLength()) {
        at = element.valueAt;
        if (element.tag == kPixelData) {
            if (m_path.empty())
                m_facts.pixelData = element;
            return walkFragments(at, encoding);
        }
        if (!hidden && element.vr != "SQ")
            return fail(QStringLiteral("element %1 (%2) has an undefined length")
                            .arg(tagText(element.tag), QLatin1String(element.vr.data(), 2)));
        if (!walkSequence(at, std::nullopt, inner, element.tag, items.emplace()))
            return false;
    } else {
        if (!inside(element, end))
            return false;
        at = element.end();
        if (element.vr == "SQ" ||
            (hidden && element.tag != kPixelData && startsWithItem(element, encoding))) {
            qint64 value = element.valueAt;
            if (!walkSequence(value, element.end(), inner, element.tag, items.emplace()))
                return false;
        } else if (!note(element, encoding)) {
            return false;
        }
    }
    if (element.tag == kPixelMeasures && where({kSharedGroups}))
        m_facts.groupsMeasurePixels = true;
    // GDCM takes the value of an element the standard makes a sequence as one.
    if (!items && element.length != 0 && dictionaryVr(element.tag) == gdcm::VR::SQ)
        return fail(QStringLiteral("element %1 holds no sequence").arg(tagText(element.tag)));
    if (std::ranges::find(kOpenedUnasked, element.tag) != std::end(kOpenedUnasked) && items.value_or(0) == 0)
        return fail(QStringLiteral("its sequence %1 holds no item").arg(tagText(element.tag)));
    return true;
}

// The items of the sequence `tag`, to `end` or to the sequence delimiter.
bool Walk::walkSequence(qint64& at, std::optional<qint64> end, Encoding encoding, std::uint32_t tag,
                        int& items) {
    if (m_path.size() >= DicomFileCheck::kMaxDepth)
        return fail(QStringLiteral("its sequences nest more than %1 deep").arg(DicomFileCheck::kMaxDepth));
    items = 0;
    while (!end || at < *end) {
        Element item;
        if (!readItemHeader(at, encoding, item) || !counted())
            return false;
        if (item.tag == kSequenceEnd && !end) {
            if (item.length != 0)
                return fail(QStringLiteral("a sequence delimiter has a length of %1").arg(item.length));
            at = item.valueAt;
            return true;
        }
        if (item.tag != kItem)
            return fail(QStringLiteral("a sequence holds %1 where an item belongs").arg(tagText(item.tag)));
        at = item.valueAt;
        if (!item.undefinedLength() && !inside(item, end))
            return false;
        m_path.push_back({tag, ++items});
        const bool walked =
            walkElements(at, item.undefinedLength() ? std::nullopt : std::optional(item.end()), encoding);
        m_path.pop_back();
        if (!walked)
            return false;
    }
    if (at != *end)
        return fail(QStringLiteral("an item runs past the end of the sequence that holds it"));
    return true;
}

// The element being walked lies in the first item of each of these sequences, outermost
// first (an empty list: the top-level data set); a functional group stands for either.
bool Walk::where(std::initializer_list<std::uint32_t> sequences) const {
    if (m_path.size() != sequences.size())
        return false;
    auto level = m_path.begin();
    for (const std::uint32_t sequence : sequences) {
        const bool group = sequence == kSharedGroups && level->sequence == kPerFrameGroups;
        if ((level->sequence != sequence && !group) || level->item != 1)
            return false;
        ++level;
    }
    return true;
}

// Encapsulated Pixel Data: the offset table and the fragments, each an item of defined
// length, then the sequence delimiter.
bool Walk::walkFragments(qint64& at, Encoding encoding) {
    for (bool offsetTable = true;; offsetTable = false) {
        Element item;
        if (!readItemHeader(at, encoding, item) || !counted())
            return false;
        if (item.tag == kSequenceEnd) {
            at = item.valueAt;
            return item.length == 0 ||
                   fail(QStringLiteral("its pixel data ends with a delimiter of length %1").arg(item.length));
        }
        if (item.tag != kItem || item.undefinedLength())
            return fail(QStringLiteral("its pixel data holds %1 of undefined length or no fragment")
                            .arg(tagText(item.tag)));
        if (!inside(item, std::nullopt) || (m_rle && !offsetTable && !checkRleHeader(item)))
            return false;
        at = item.end();
    }
}

// An RLE frame starts with 16 numbers: how many segments it has (1 to 15), then where
// each starts, the first right after this header. GDCM divides by the first and reads
// as many offsets as it says: a damaged header divides by zero or reads past the array.
bool Walk::checkRleHeader(const Element& fragment) {
    char header[kRleHeaderBytes];
    if (fragment.length < kRleHeaderBytes || !read(fragment.valueAt, header, kRleHeaderBytes))
        return fail(QStringLiteral("an RLE frame of its pixel data is shorter than its header"));
    const auto segments = qFromLittleEndian<std::uint32_t>(header);
    if (segments < 1 || segments > kRleMaxSegments)
        return fail(QStringLiteral("an RLE frame of its pixel data has %1 segments").arg(segments));
    std::uint32_t previous = 0;
    for (std::uint32_t i = 0; i < segments; ++i) {
        const auto offset = qFromLittleEndian<std::uint32_t>(header + 4 * (i + 1));
        if (offset <= previous || offset >= fragment.length || (i == 0 && offset != kRleHeaderBytes))
            return fail(QStringLiteral("segment %1 of an RLE frame of its pixel data starts at byte %2, "
                                       "outside the frame")
                            .arg(i + 1)
                            .arg(offset));
        previous = offset;
    }
    return true;
}

// Keeps the facts that size the pixel data and say where GDCM will look, and refuses the
// values GDCM would assert on.
bool Walk::note(const Element& element, Encoding encoding) {
    if (where({kSharedGroups, kPlaneOrientation}) && element.tag == kImageOrientation)
        m_facts.groupsOrientPlanes = true;
    // GDCM asserts that an orientation in a plane position equals the plane orientation.
    if (!m_path.empty() && m_path.back().sequence == kPlanePosition && element.tag == kImageOrientation)
        return fail(QStringLiteral("its Plane Position Sequence holds an Image Orientation"));
    // ... and that the rescale slope it takes from the functional groups is not 0.
    if (!m_path.empty() && m_path.back().sequence == kValueTransformation && element.tag == kRescaleSlope) {
        QByteArray slope;
        bool number = false;
        if (!text(element, kMaxDecimalStringBytes, slope))
            return false;
        if (slope.trimmed().toDouble(&number) == 0.0 || !number)
            return fail(
                QStringLiteral("a Rescale Slope in its functional groups is not a number other than 0"));
    }
    if (!m_path.empty())
        return true;
    // GDCM asserts that a Recognition Code (a retired element of the older ACR-NEMA files)
    // names one of those formats.
    if (element.tag == kRecognitionCode) {
        QByteArray code;
        if (!text(element, kMaxRecognitionCodeBytes, code))
            return false;
        if (!code.startsWith("ACR-NEMA") && !code.startsWith("ACRNEMA") && !code.startsWith("MIPS 2.0"))
            return fail(QStringLiteral("its Recognition Code is none of the ACR-NEMA formats"));
        return true;
    }
    if (element.tag == kSopClass)
        return text(element, kMaxUidBytes, m_facts.sopClass);
    if (element.tag == kPhotometric)
        return text(element, kMaxPhotometricBytes, m_facts.photometric);
    if (element.tag == kPixelData) {
        m_facts.pixelData = element;
        return true;
    }
    char bytes[kMaxIntegerStringBytes];
    if (element.tag == kFrames && element.length <= kMaxIntegerStringBytes &&
        read(element.valueAt, bytes, element.length)) {
        bool ok = false;
        const qlonglong frames = QByteArray(bytes, element.length).trimmed().toLongLong(&ok);
        m_facts.frames = ok && frames > 0 ? static_cast<std::uint64_t>(frames) : 1;
        return true;
    }
    std::uint64_t* const value = element.tag == kRows              ? &m_facts.rows
                                 : element.tag == kColumns         ? &m_facts.columns
                                 : element.tag == kSamplesPerPixel ? &m_facts.samplesPerPixel
                                 : element.tag == kBitsAllocated   ? &m_facts.bitsAllocated
                                                                   : nullptr;
    if (value && element.length == 2 && read(element.valueAt, bytes, 2))
        *value = u16(bytes, encoding);
    else if (element.tag == kSamplesPerPixel)
        m_facts.samplesPerPixel = 0; // not one unsigned short: no count GDCM could take
    return true;
}

bool Walk::checkPixelData(const Syntax& syntax) {
    // GDCM asserts on any count of samples a pixel but grey (1), colour (3) and colour with
    // alpha (4), whatever the transfer syntax.
    if (const std::uint64_t samples = m_facts.samplesPerPixel; samples != 1 && samples != 3 && samples != 4)
        return fail(
            QStringLiteral("it gives %1 samples per pixel, where images have 1, 3 or 4").arg(samples));
    const std::optional<Element>& pixels = m_facts.pixelData;
    if (!pixels || syntax.encapsulated)
        return true;
    if (pixels->undefinedLength())
        return fail(
            QStringLiteral("its pixel data is in fragments, which its transfer syntax does not allow"));
    const std::optional<std::uint64_t> bits = product(
        {m_facts.rows, m_facts.columns, m_facts.samplesPerPixel, m_facts.bitsAllocated, m_facts.frames});
    if (!bits || (*bits + kBitsPerByte - 1) / kBitsPerByte > pixels->length)
        return fail(QStringLiteral("its pixel data holds %1 bytes, fewer than its %2 x %3 pixels of %4 "
                                   "samples of %5 bits in %6 frames need")
                        .arg(pixels->length)
                        .arg(m_facts.columns)
                        .arg(m_facts.rows)
                        .arg(m_facts.samplesPerPixel)
                        .arg(m_facts.bitsAllocated)
                        .arg(m_facts.frames));
    return true;
}

// GDCM computes the slice spacing of an enhanced file from its functional groups once
// they measure the pixels, and asserts that it found the planes' orientation there.
bool Walk::checkFunctionalGroups() {
    const bool enhanced =
        readFromFunctionalGroups(m_facts.metaSopClass) || readFromFunctionalGroups(m_facts.sopClass);
    if (!enhanced || !m_facts.groupsMeasurePixels || m_facts.groupsOrientPlanes)
        return true;
    return fail(QStringLiteral("its functional groups measure the pixels but give no Image Orientation"));
}

DicomFileCheck::Result Walk::run() {
    using Verdict = DicomFileCheck::Verdict;
    char start[kPreambleBytes + kMagic.size()];
    if (m_size < qint64(sizeof start) || m_file.read(start, sizeof start) != qint64(sizeof start) ||
        std::string_view(start + kPreambleBytes, kMagic.size()) != kMagic)
        return {Verdict::Foreign,
                QStringLiteral("is not a DICOM file (no \"DICM\" after a 128-byte preamble)")};
    qint64 at = sizeof start;
    QByteArray uid;
    if (!walkMeta(at, uid))
        return {Verdict::Damaged, m_fault};
    const std::optional<Syntax> syntax = syntaxOf(uid);
    if (!syntax)
        return {Verdict::Foreign,
                QStringLiteral("uses the transfer syntax %1, which the viewer does not read")
                    .arg(QString::fromLatin1(uid))};
    m_rle = syntax->rle;
    if (!walkElements(at, m_size, syntax->encoding) || !checkPixelData(*syntax) || !checkFunctionalGroups())
        return {Verdict::Damaged, m_fault};
    // A palette-colour image's samples are indices into a colour table: shown as values
    // they would be a plausible but meaningless picture, and GDCM asserts when the table
    // is missing.
    if (gdcm::PhotometricInterpretation::GetPIType(m_facts.photometric.constData()) ==
        gdcm::PhotometricInterpretation::PALETTE_COLOR)
        return {Verdict::Foreign,
                QStringLiteral("is a palette-colour image (its samples index a colour table); only grey "
                               "images can be shown")};
    return {Verdict::Sound, {}, syntax->encapsulated};
}

} // namespace

DicomFileCheck::Result DicomFileCheck::check(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {Verdict::Foreign, QStringLiteral("%1 cannot be opened.").arg(name)};
    Result result = Walk(file, file.size()).run();
    if (result.verdict == Verdict::Foreign)
        result.reason = QStringLiteral("%1 %2.").arg(name, result.reason);
    if (result.verdict == Verdict::Damaged)
        result.reason = QStringLiteral("%1: %2.").arg(name, result.reason);
    return result;
}
