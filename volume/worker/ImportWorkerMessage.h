#pragma once

#include "volume/core/ImportRefusal.h"
#include "volume/core/VolumeRecord.h"
#include "volume/dicom/DicomSeries.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>
#include <optional>
#include <variant>
#include <vector>

// What the import worker (tools/import_worker) and the viewer that started it tell each
// other through the worker's stdin and stdout: one message a line, base64 of its
// QDataStream form, so that any text a library prints cannot be taken for a message.
//
// The worker sends progress and its log lines while it reads, then one answer: the
// refusal, the volume record (its texels travel apart, through a shared memory file; see
// ImportWorker) or the DICOM series it found. The viewer sends the worker the series to
// read as a list of one.
class ImportWorkerMessage {
  public:
    // How far the read has come, 0 to 1. Sent again, unchanged, while a library that
    // reports nothing is still reading its file: every line says the worker is alive.
    struct Progress {
        double fraction = 0.0;
    };
    // A log line of the readers, logged again by the viewer as if it were its own.
    struct Log {
        QtMsgType type = QtInfoMsg;
        QByteArray category;
        QString text;
    };
    using Body = std::variant<Progress, Log, ImportRefusal, VolumeRecord, std::vector<DicomSeries>>;

    // The line of a message, with its '\n'. A record's data and source are not sent.
    static QByteArray line(const Body& body);
    // The message of a line; nothing for a line that is not one.
    static std::optional<Body> parse(QByteArrayView line);
};
