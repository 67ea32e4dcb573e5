#pragma once

#include "render/streaming/BrickPool.h"

#include <QString>
#include <cstdint>
#include <memory>

class MTKView;
class QVRenderer;

// The renderer a bench run draws with, holding the volume it measures: the built-in
// sample, made exactly as the viewer makes it at start-up, or an NRRD volume read by the
// viewer's own import and handed over as an import hands it over (its window is then the
// import's default, as the user first sees it). Its bricks stream in within `budgets`;
// the import may hold `ramBudgetBytes` in memory and reads a larger raw volume in place.
namespace BenchRenderer {

// Null, with the reason in *error, when the volume cannot be read or shown.
std::unique_ptr<QVRenderer> create(const QString& volume, MTKView& view, const BrickPool::Budgets& budgets,
                                   std::uint64_t ramBudgetBytes, QString* error);

} // namespace BenchRenderer
