#pragma once

#include "ui/import/FilePicker.h"
#include "ui/import/SeriesPicker.h"
#include "ui/window/UserAlert.h"
#include "volume/core/ImportProgress.h"
#include "volume/core/ImportRefusal.h"
#include "volume/core/VolumeRecord.h"
#include "volume/dicom/DicomSeries.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <variant>

class ImportHandOver;
class ImportProgress;
class NrrdVolumeReader;
class ViewController;
struct VolumeRecord;
struct ImportOptions;
struct ImportRefusal;

// The import command: replaces the shown volume with one read from a volume file
// (NRRD, DICOM, NIfTI, TIFF; VolumeFile tells which).
//
// The user picks the file. An NRRD header is read and checked at once, and the data
// panel asks for its data file unless the header carries its data or spreads it over
// several files. For DICOM the user picks any file of a series (or a folder) and the
// whole series opens; a folder with several series asks which one. The other formats
// need no second panel. The samples are read, decoded and uploaded on a pool thread
// while the status line counts the percentage, so the window keeps drawing and
// answering; a DICOM folder is listed there too, before the series picker asks. DICOM,
// NIfTI and TIFF files are read by the import worker (ImportWorker), a process that a
// damaged file may make its library abort or hang without taking the window along.
// Once the new volume is on show the seven sliders move to the positions that match
// the renderer's reset clip values and rotation, without running their actions, and
// the status line describes the volume and what its reader noted (spacing
// assumed, NaN shown, oblique slices). A file that cannot be shown is refused with its
// reason (a log line, the status line and a warning) and changes nothing: volume,
// window, camera and sliders stay as they were. An import started while another is
// loading stops that one; only the later one's volume is shown.
class ImportCommand : public QObject {
    Q_OBJECT

  public:
    explicit ImportCommand(ViewController& controller, QObject* parent = nullptr);
    // Stops a read in progress (an import worker is killed) and waits for an upload in
    // progress: the renderer goes with the controller right after.
    ~ImportCommand() override;

    // The open panels and the warnings; by default file dialogs and message boxes over
    // the view's window.
    void setFilePicker(std::unique_ptr<FilePicker> picker);
    void setUserAlert(std::unique_ptr<UserAlert> alert);
    // Which series of a folder to open; by default a list dialog over the view's window.
    void setSeriesPicker(std::unique_ptr<SeriesPicker> picker);

    void menuImportaction();

    // Imports the file the header panel chose, or one the user named elsewhere (command
    // line, drop), in any format the import reads; `dataPath` as the data panel would
    // have chosen it. Without `dataPath`, an NRRD header whose data is neither attached
    // nor listed opens the data panel.
    void openFile(const QString& path, const QString& dataPath = {});

    // Imports the file of the volume on show again, with the same data file: after it
    // changed on disk. Nothing when the volume on show was not imported.
    void reload();

    // Stops the import in progress: the volume on show stays.
    void cancelLoading();

    // A volume is being read or uploaded.
    bool isLoading() const { return m_loadingImport != 0; }

  signals:
    // The status line's new text: progress, the imported volume or why it was refused.
    void statusChanged(const QString& text);
    // An imported volume is on show, named by its header file.
    void volumeShown(const QString& name, const QString& description);
    // An import started, or ended in any way.
    void loadingChanged(bool loading);
    // The user closed the series picker: the import ended before anything was read, and the
    // status line may show the volume on show again.
    void abandoned();

  private:
    // A file to import and its data file, as openFile takes them.
    struct Request {
        QString path;
        QString dataPath;
    };
    struct Load;
    struct Scan;
    // Reads the volume on a pool thread.
    using Read = std::function<std::variant<VolumeRecord, ImportRefusal>(const ImportProgress&)>;

    FilePicker& filePicker();
    UserAlert& userAlert();
    SeriesPicker& seriesPicker();
    ImportOptions readOptions() const;
    FilePickerRequest headerRequest() const;
    FilePickerRequest dataRequest(const NrrdVolumeReader& reader) const;
    // An NRRD header: its data attached, named by DATA, in the files it lists, or picked
    // in the data panel.
    void importNrrd(const QString& headerPath, const QString& dataPath);
    // A DICOM file or folder: its series, or the one the user picks among several.
    void importDicom(const QString& path);
    // Stops the import in progress and numbers a new one; the status line shows `status`.
    std::uint64_t beginImport(const QString& status);
    void startLoading(Read read, const QString& fileName, const QString& dataName);
    static void scan(const Scan& job);
    static void load(const Load& job);
    // A pool thread's progress, posted to the status line as text(percent).
    static ImportProgress statusProgress(const std::shared_ptr<ImportHandOver>& handOver,
                                         ImportCommand* command, std::uint64_t import,
                                         const std::stop_token& stop, std::function<QString(int)> text);
    static void readAndHandOver(const Load& job);

    // Run on this object's thread when a scan or a load reports back.
    void showProgress(std::uint64_t import, const QString& text);
    void chooseSeries(std::uint64_t import, const QString& name,
                      ImportResult<std::vector<DicomSeries>> scanned);
    void finishReplaced(std::uint64_t import, const Request& request, const QString& headerName,
                        const QString& description);
    void finishRefused(std::uint64_t import, const QString& headerName, const QString& reason);

    void refuse(const QString& headerName, const QString& reason);

    ViewController& m_controller;
    std::unique_ptr<FilePicker> m_filePicker;
    std::unique_ptr<UserAlert> m_userAlert;
    std::unique_ptr<SeriesPicker> m_seriesPicker;
    std::shared_ptr<ImportHandOver> m_handOver;
    std::stop_source m_loadingStop;
    Request m_request;                 // of the import being set up
    Request m_shownRequest;            // of the volume on show; empty for the built-in one
    std::uint64_t m_lastImport = 0;    // numbers imports in the order they started
    std::uint64_t m_loadingImport = 0; // the one whose volume is awaited; 0 when none
    std::uint64_t m_shownImport = 0;   // the last one whose volume reached the renderer
    QString m_lastFolder;              // where the header panel opens next
};
