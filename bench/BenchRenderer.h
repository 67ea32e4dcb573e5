#pragma once

#include <QString>
#include <memory>

class MTKView;
class QVRenderer;

// The renderer a bench run draws with, holding the volume it measures: the built-in
// sample, made exactly as the viewer makes it at start-up, or an NRRD volume read by the
// viewer's own import and handed over as an import hands it over (its window is then the
// import's default, as the user first sees it).
namespace BenchRenderer {

// Null, with the reason in *error, when the volume cannot be read or shown.
std::unique_ptr<QVRenderer> create(const QString& volume, MTKView& view, QString* error);

} // namespace BenchRenderer
