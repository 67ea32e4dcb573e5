#pragma once

#include "volume/core/ImportOptions.h"
#include "volume/core/ImportProgress.h"
#include "volume/core/ImportRefusal.h"
#include "volume/core/VolumeFile.h"
#include "volume/core/VolumeRecord.h"
#include "volume/dicom/DicomSeries.h"
#include "volume/worker/ImportWorkerMessage.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <vector>

// Runs the reads that go through a format's library (GDCM for DICOM, nifticlib for NIfTI,
// libtiff for TIFF) in a process of their own, voxview-import-worker, so that a damaged
// file that makes the library abort on an assertion, loop for ever or allocate without
// bound ends that process, never the viewer or voxview-inspect: the file is refused with
// a reason instead. NRRD is read by our own code, in process, and never comes here.
//
// The worker is found beside the running executable. It reports its progress as it
// reads and is killed when the caller gives the read up (ImportProgress::stopRequested,
// looked at every few tens of milliseconds) or when it has sent nothing for the silence
// deadline (a legitimate read of any size keeps reporting: per slice, per page, or while
// the library is still reading its file). It limits its own memory to the import's RAM
// budget plus a margin, so that a blow-up ends it with a refusal. A worker that ends in
// any other way than with its answer (an abort, a signal, the memory limit) stands for
// a file its library cannot read.
//
// The record travels back as a message; its texels through a sealed memory file
// (memfd) that this side creates and the worker fills, mapped here without a copy.
// Any thread; each call runs one worker and waits for it.
class ImportWorker {
  public:
    static constexpr auto kExecutableName = "voxview-import-worker";
    static constexpr std::chrono::milliseconds kDefaultSilenceDeadline{20000};

    ImportWorker(const ImportOptions& options, const ImportProgress& progress);
    void setSilenceDeadline(std::chrono::milliseconds deadline) { m_silenceDeadline = deadline; }

    // A NIfTI, TIFF or DICOM file, or a folder that holds one DICOM series, read as
    // VolumeFile::readInProcess reads it.
    ImportResult<VolumeRecord> read(const QString& path, VolumeFormat format) const;
    // The DICOM series a file belongs to, or those of a folder (DicomSeriesScanner::scan).
    ImportResult<std::vector<DicomSeries>> scanDicom(const QString& path) const;
    // One series of a scan (DicomSeriesReader::read).
    ImportResult<VolumeRecord> readDicom(const DicomSeries& series) const;

  private:
    struct Job {
        QStringList arguments{};
        QByteArray input{};  // for the worker's stdin
        bool texels = false; // the answer is a volume whose texels come back
        QString subject{};   // what the refusals name
        QString parts{};     // where in it the library may have stopped: "on it", "on one of its files"
        QString library{};   // whose library reads it: "DICOM", "NIfTI", "TIFF"
    };

    ImportResult<ImportWorkerMessage::Body> run(const Job& job) const;
    // The worker's answer to the job when it is a T; a refusal otherwise.
    template <typename T> ImportResult<T> answer(const Job& job) const;

    ImportOptions m_options;
    ImportProgress m_progress;
    std::chrono::milliseconds m_silenceDeadline = kDefaultSilenceDeadline;
};
