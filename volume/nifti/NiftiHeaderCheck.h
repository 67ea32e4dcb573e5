#pragma once

#include "volume/core/ImportRefusal.h"

#include <QString>
#include <optional>

// Reads the header nifticlib is about to read, found as nifticlib finds it (a ".img"
// names its ".hdr", a ".gz" is read through zlib), and refuses what nifticlib acts on
// before it validates it: NIfTI-2's header conversion sets dimensions 2 to dim[0] to at
// least 1, and pixdim 1 to dim[0], before it checks that dim[0] is at most 7, writing
// past its arrays of 8 on the stack when it is not. A header of neither NIfTI size is
// left to nifticlib, which refuses it.
class NiftiHeaderCheck {
  public:
    static constexpr int kMaxDimensions = 7;

    static std::optional<ImportRefusal> check(const QString& path);
};
