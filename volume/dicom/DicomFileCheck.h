#pragma once

#include <QString>

// Walks the structure of a DICOM file before GDCM reads it. GDCM trusts the lengths it
// reads: a file that ends right after its file meta information, or a sequence or an
// undefined length among the meta elements, stops the whole process with an assertion
// (Debian builds GDCM with assertions on), and a length overwritten with a large number
// makes it allocate that much. The walk reads element headers only, checks every length
// against what holds it before it goes on, and stops at the first fault:
//
// - the 128-byte preamble and "DICM" (the standard's media format);
// - the file meta information (group 0002) in explicit VR little endian: known VRs,
//   defined lengths inside the file, no sequence, its group length (where given) ending
//   where the group ends, a Transfer Syntax UID, and a data set after it;
// - the data set in that transfer syntax (implicit or explicit VR, either byte order):
//   every length inside what holds it (the file, the item, the sequence), sequences and
//   items of undefined length closed by their delimiters, nested at most kMaxDepth deep,
//   at most kMaxElements elements in all;
// - Pixel Data: in a native syntax at least the bytes that Rows x Columns x Samples per
//   Pixel x Bits Allocated x Number of Frames need; encapsulated, fragments of defined
//   length closed by a sequence delimiter, each RLE frame with a sound header;
// - what GDCM's image reading asserts on: a public element under a VR its dictionary
//   does not allow, an empty sequence it opens at its first item, an enhanced multi-frame
//   file whose functional groups measure the pixels but give no orientation.
//
// A deflated data set cannot be walked without inflating it, so it is not read. What the
// codecs make of the compressed fragments themselves is not checked: that would take
// decoding them.
class DicomFileCheck {
  public:
    enum class Verdict {
        Sound,   // GDCM may read it
        Foreign, // not a DICOM file the viewer reads: no "DICM", a deflated or unknown syntax
        Damaged, // a DICOM file whose structure is broken
    };
    struct Result {
        Verdict verdict = Verdict::Sound;
        QString reason;            // names the file; empty when sound
        bool encapsulated = false; // its pixel data is compressed: a codec will decode it
    };

    static constexpr int kMaxDepth = 16;
    static constexpr int kMaxElements = 1'000'000;

    static Result check(const QString& path);
};
