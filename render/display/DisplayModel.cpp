#include "render/display/DisplayModel.h"

#include <utility>

namespace {

std::shared_ptr<const ColourMap> builtInMap(ColourLookup lookup) {
    return std::make_shared<const ColourMap>(
        lookup == ColourLookup::BlackAndWhite ? ColourMap::blackAndWhite() : ColourMap::warmDefault());
}

} // namespace

DisplayModel::DisplayModel(std::int64_t windowLevel, std::int64_t windowWidth, QObject* parent)
    : QObject(parent), m_otherLookup(defaultLookup(RenderMode::Mip)), m_otherMap(builtInMap(m_otherLookup)) {
    m_state.colourMap = builtInMap(m_state.lookup);
    m_state.windowLevel = windowLevel;
    m_state.windowWidth = windowWidth;
}

void DisplayModel::setWindowLevel(std::int64_t level) {
    const bool changed = level != m_state.windowLevel;
    m_state.windowLevel = level;
    emit windowLevelSet(level);
    if (changed) {
        emit windowChanged();
    }
}

void DisplayModel::setWindowWidth(std::int64_t width) {
    const bool changed = width != m_state.windowWidth;
    m_state.windowWidth = width;
    emit windowWidthSet(width);
    if (changed) {
        emit windowChanged();
    }
}

void DisplayModel::setLookup(ColourLookup lookup) {
    if (lookup != m_state.lookup && lookup != ColourLookup::Other) {
        show(lookup, builtInMap(lookup));
    }
}

void DisplayModel::setColourMap(const ColourMap& map) {
    show(ColourLookup::Other, std::make_shared<const ColourMap>(map));
}

void DisplayModel::show(ColourLookup lookup, std::shared_ptr<const ColourMap> map) {
    m_state.lookup = lookup;
    m_state.colourMap = std::move(map);
    emit lookupChanged(lookup);
}

ColourLookup DisplayModel::defaultLookup(RenderMode mode) {
    return mode == RenderMode::Composite ? ColourLookup::Default : ColourLookup::BlackAndWhite;
}

void DisplayModel::setRenderMode(RenderMode mode) {
    if (mode == m_state.renderMode) {
        return;
    }
    const bool otherKind = (mode == RenderMode::Composite) != (m_state.renderMode == RenderMode::Composite);
    m_state.renderMode = mode;
    emit renderModeChanged(mode);
    if (otherKind) {
        const ColourLookup lookup = std::exchange(m_otherLookup, m_state.lookup);
        std::shared_ptr<const ColourMap> map = std::exchange(m_otherMap, m_state.colourMap);
        show(lookup, std::move(map));
    }
}

void DisplayModel::setClip(const ClipBox& clip) {
    if (!(clip == m_state.clip)) {
        m_state.clip = clip;
        emit clipChanged();
    }
}

void DisplayModel::setZAngle(float radians) {
    if (radians != m_state.zAngle) {
        m_state.zAngle = radians;
        emit zAngleChanged(radians);
    }
}

void DisplayModel::resetForVolume(std::int64_t windowLevel, std::int64_t windowWidth) {
    resetClipAndTurn();
    if (m_state.lookup != defaultLookup(m_state.renderMode)) {
        show(defaultLookup(m_state.renderMode), builtInMap(defaultLookup(m_state.renderMode)));
    }
    m_otherLookup =
        defaultLookup(m_state.renderMode == RenderMode::Composite ? RenderMode::Mip : RenderMode::Composite);
    m_otherMap = builtInMap(m_otherLookup);
    if (windowLevel != m_state.windowLevel || windowWidth != m_state.windowWidth) {
        m_state.windowLevel = windowLevel;
        m_state.windowWidth = windowWidth;
        emit windowChanged();
    }
}

void DisplayModel::resetClipAndTurn() {
    setClip({});
    setZAngle(0.0f);
}
