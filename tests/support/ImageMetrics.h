#pragma once

#include <QColor>
#include <QImage>
#include <QPointF>
#include <QRect>

// Measures of a rendered frame against its clear colour, for pixel tests that must
// hold on any OpenGL implementation: where the volume shows, how large and how bright.
namespace imagemetrics {

// Rasterisers differ by a step or two at edges; a volume differs by far more.
constexpr int kChannelTolerance = 6;

// Whether the pixel differs from the background by more than a few steps in a channel.
bool isForeground(QRgb pixel, QColor background);
int foregroundCount(const QImage& image, QColor background);
// Mean position of the foreground pixels; (-1, -1) when there are none.
QPointF foregroundCentroid(const QImage& image, QColor background);
QRect foregroundBounds(const QImage& image, QColor background);
// Mean of (r + g + b) / 3 over the foreground pixels, 0 to 255.
double meanForegroundBrightness(const QImage& image, QColor background);
// How many pixels differ between two images of one size by more than `tolerance` steps
// in a channel.
int differingPixels(const QImage& a, const QImage& b, int tolerance = kChannelTolerance);
// How many pixels of the area the two images share differ at all (no tolerance): for
// frames of one implementation that must stay identical.
int changedPixels(const QImage& a, const QImage& b);
// The mean channel difference between two images of one size, over the pixels.
double meanChannelDifference(const QImage& a, const QImage& b);
// Fine detail: the mean difference in grey level between each pixel and its right and
// lower neighbours. A picture drawn at reduced resolution and scaled up has less of it.
double fineDetail(const QImage& image);

} // namespace imagemetrics
