#pragma once

#include "volume/dicom/DicomSeries.h"

#include <cstddef>
#include <optional>
#include <vector>

// Lets the user choose which of the series found in a folder to open. The import
// reaches its chooser only through this interface, so it runs without dialogs in tests.
class SeriesPicker {
  public:
    virtual ~SeriesPicker() = default;

    // The index of the chosen series; nothing when the user cancelled.
    virtual std::optional<std::size_t> chooseSeries(const std::vector<DicomSeries>& series) = 0;
};
