#include "ui/import/ImportHandOver.h"

#include "render/QVRenderer.h"
#include "volume/core/VolumeRecord.h"

#include <QMetaObject>

ImportHandOver::ImportHandOver(QObject* receiver) : m_receiver(receiver) {}

ImportHandOver::Outcome ImportHandOver::handOver(QVRenderer& renderer, const VolumeRecord& record,
                                                 const std::stop_token& stop, QString* reason) {
    // Held through the upload: a later import's hand-over waits here, so it always
    // comes after an earlier one that got in first and never the other way round.
    std::lock_guard lock(m_rendererMutex);
    if (m_rendererClosed || stop.stop_requested()) {
        return Outcome::Stopped;
    }
    if (renderer.updateVolumeDataWithNRRDfmt(&record, reason, stop)) {
        return Outcome::Replaced;
    }
    // A survey cut short by the stop is no refusal: the import was given up.
    return stop.stop_requested() ? Outcome::Stopped : Outcome::Refused;
}

void ImportHandOver::post(std::function<void()> call) {
    std::lock_guard lock(m_receiverMutex);
    if (m_receiver != nullptr) {
        QMetaObject::invokeMethod(m_receiver, std::move(call), Qt::QueuedConnection);
    }
}

void ImportHandOver::close() {
    {
        std::lock_guard lock(m_rendererMutex);
        m_rendererClosed = true;
    }
    std::lock_guard lock(m_receiverMutex);
    m_receiver = nullptr;
}
