#pragma once

#include "render/ShaderTypes.h"
#include "render/display/ColourMap.h"

#include <QObject>
#include <array>
#include <cstdint>
#include <memory>

// How the samples inside the display window are coloured: the two lookups of the uniforms'
// clutmode byte, or another colour map (a built-in one of the View menu, or a preset file's).
enum class ColourLookup : std::uint8_t { Default = 0, BlackAndWhite = 1, Other = 2 };

// The part of the volume the rays sample: low and high per axis (x, y, z) in texture
// coordinates, 0 … 1 when nothing is cut away.
struct ClipBox {
    std::array<float, 3> low{0.0f, 0.0f, 0.0f};
    std::array<float, 3> high{1.0f, 1.0f, 1.0f};
    bool operator==(const ClipBox&) const = default;
};

// What a user sets and every view of one volume shares: the display window (in sample
// units), the colour lookup, the render mode, the clip box and the turn about the viewing
// axis. The cameras are the views' own. GUI thread only; the renderer copies a Snapshot
// once per frame, so a frame draws one consistent state.
//
// Setting the window's level or width notifies on every call, changed or not: the views'
// observers ("wl"/"ww") hear every frame. The other signals tell real changes only.
class DisplayModel : public QObject {
    Q_OBJECT

  public:
    struct Snapshot {
        std::int64_t windowLevel = 0;
        std::int64_t windowWidth = 0;
        ColourLookup lookup = ColourLookup::Default;
        std::shared_ptr<const ColourMap> colourMap; // the lookup's colours; never null
        RenderMode renderMode = RenderMode::Composite;
        ClipBox clip;
        float zAngle = 0.0f; // radians about the viewing axis
    };

    explicit DisplayModel(std::int64_t windowLevel, std::int64_t windowWidth, QObject* parent = nullptr);

    const Snapshot& snapshot() const { return m_state; }

    std::int64_t windowLevel() const { return m_state.windowLevel; }
    void setWindowLevel(std::int64_t level);
    std::int64_t windowWidth() const { return m_state.windowWidth; }
    void setWindowWidth(std::int64_t width);
    ColourLookup lookup() const { return m_state.lookup; }
    // Default or BlackAndWhite; Other keeps the map shown.
    void setLookup(ColourLookup lookup);
    const ColourMap& colourMap() const { return *m_state.colourMap; }
    // Any map: a built-in one or a preset's (the lookup becomes Other).
    void setColourMap(const ColourMap& map);
    RenderMode renderMode() const { return m_state.renderMode; }
    // The compositing mode and the projections each keep the lookup last chosen in them:
    // the warm default for compositing, grey for the projections until the user picks
    // another, since a projection reads as a radiograph.
    void setRenderMode(RenderMode mode);
    const ClipBox& clip() const { return m_state.clip; }
    void setClip(const ClipBox& clip);
    float zAngle() const { return m_state.zAngle; }
    void setZAngle(float radians);

    // A volume was put on show: its window, nothing clipped, no z turn, the default lookup
    // of the render mode shown (which is kept). Only the typed change signals tell (the window's observers
    // hear the new window with the next frame).
    void resetForVolume(std::int64_t windowLevel, std::int64_t windowWidth);
    // Nothing clipped and no z turn (Reset View keeps the lookup).
    void resetClipAndTurn();

  signals:
    void windowLevelSet(std::int64_t level);
    void windowWidthSet(std::int64_t width);
    void windowChanged();
    void lookupChanged(ColourLookup lookup);
    void renderModeChanged(RenderMode mode);
    void clipChanged();
    void zAngleChanged(float radians);

  private:
    static ColourLookup defaultLookup(RenderMode mode);
    void show(ColourLookup lookup, std::shared_ptr<const ColourMap> map);

    Snapshot m_state;
    // The lookup of the compositing mode while a projection shows, or the other way round.
    ColourLookup m_otherLookup;
    std::shared_ptr<const ColourMap> m_otherMap;
};
