#pragma once

#include "MTKView.h"
#include "ShaderTypes.h"
#include "gpu/Gpu.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class VolumeData;
struct NRRDfmt;

// The view's drawing delegate: owns the GPU objects and all rendering state (display
// window, camera angles and zoom, clip values, colour lookup) and draws the volume
// once per frame. Property setters may be called from the GUI thread; an imported
// volume arrives from a pool thread through updateVolumeDataWithNRRDfmt.
class QVRenderer : public QObject, public MTKViewDelegate {
    Q_OBJECT

public:
    // Reads the view's device and colour format, builds the pipeline and the command
    // queue and uploads the built-in sample volume. Keeps no reference to the view.
    explicit QVRenderer(MTKView& view, QObject* parent = nullptr);
    static std::unique_ptr<QVRenderer> initWithMetalKitView(MTKView& view);
    ~QVRenderer() override;

    void mtkView_drawableSizeWillChange(MTKView& view, DrawableSize size) override;
    void drawInMTKView(MTKView& view) override;
    void DrawA(MTKView& view);

    // Replaces the volume. Runs on the calling (worker) thread and uploads there; the
    // new volume and the reset defaults reach the next frame together. Returns false,
    // with the reason in the log and in *reason, and changes nothing when the record
    // cannot be shown (absent or short data, zero size, size above the GPU's limit).
    bool updateVolumeDataWithNRRDfmt(const NRRDfmt* record, QString* reason = nullptr);
    void updateVolumeDataWithURL(const QString& url);

    float zoom() const;
    void setZoom(float value);
    float xrot() const;
    void setXrot(float value);
    float yrot() const;
    void setYrot(float value);
    float zrot() const;
    void setZrot(float value);
    float xcept() const;
    void setXcept(float value);
    float xceptBtm() const;
    void setXceptBtm(float value);
    float ycept() const;
    void setYcept(float value);
    float yceptBtm() const;
    void setYceptBtm(float value);
    float zcept() const;
    void setZcept(float value);
    float zceptBtm() const;
    void setZceptBtm(float value);
    std::int64_t wl() const;
    void setWl(std::int64_t value); // notifies "wl" on every call
    std::int64_t ww() const;
    void setWw(std::int64_t value); // notifies "ww" on every call
    std::int64_t clutmode() const;
    void setClutmode(std::int64_t value);
    std::shared_ptr<const VolumeData> vdata() const;
    void setVdata(std::shared_ptr<const VolumeData> value);

signals:
    // Emitted by setWl/setWw with the key path ("wl" or "ww"); connect with
    // Qt::DirectConnection so observers run inside the setter.
    void valueChanged(const QString& keyPath);
};
