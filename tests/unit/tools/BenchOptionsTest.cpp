#include "BenchOptions.h"

#include "FrameStats.h"

#include <gtest/gtest.h>

namespace {

// Each refusal names the option (or the stray argument) it starts with.
TEST(BenchOptions, RejectsBadArgumentsNamingTheProblem) {
    const char* cases[] = {"--size 512",
                           "--size 512 wide",
                           "--size 0 512",
                           "--size 512 100000",
                           "--frames 0",
                           "--frames -3",
                           "--quality best",
                           "--mode volume",
                           "--sampling 0",
                           "--window 40",
                           "--window liver",
                           "--json",
                           "--fast",
                           "head.nrrd",
                           "--gpu-budget 0",
                           "--ram-budget lots",
                           "--warm-up-limit 0",
                           "--lookup warm"};
    for (const char* arguments : cases) {
        const QStringList split = QString::fromLatin1(arguments).split(' ');
        const auto parsed = BenchOptions::parse(split);
        const QString* reason = std::get_if<QString>(&parsed);
        ASSERT_NE(reason, nullptr) << arguments;
        EXPECT_TRUE(reason->contains(split.first())) << qPrintable(*reason);
    }
}

TEST(BenchOptions, DefaultsToTheSampleAtFullQualityAndReadsEveryOption) {
    const BenchOptions defaults = std::get<BenchOptions>(BenchOptions::parse({}));
    EXPECT_EQ(std::tuple(defaults.usesSample(), defaults.size, defaults.quality,
                         defaults.jsonPath + defaults.pngPath),
              std::tuple(true, QSize(512, 512), BenchOptions::Quality::Full, QString()));
    const auto parsed = BenchOptions::parse(
        QStringLiteral("--volume head.nhdr --size 1024 768 --frames 60 --json out.json --png last.png "
                       "--quality interactive --mode minip --sampling 8 --lookup default --window -600 1500 "
                       "--gpu-budget 256 --ram-budget 8192 --warm-up-limit 600")
            .split(QLatin1Char(' ')));
    const BenchOptions* options = std::get_if<BenchOptions>(&parsed);
    ASSERT_NE(options, nullptr);
    EXPECT_FALSE(options->usesSample());
    EXPECT_EQ(QStringList({options->volume, options->jsonPath, options->pngPath}),
              QStringList({"head.nhdr", "out.json", "last.png"}));
    EXPECT_EQ(std::tuple(options->size, options->frames, options->sampling, options->warmUpLimitSeconds),
              std::tuple(QSize(1024, 768), 60, 8, 600));
    EXPECT_EQ(std::tuple(options->quality, options->mode, options->lookup),
              std::tuple(BenchOptions::Quality::Interactive, RenderMode::Minip, ColourLookup::Default));
    ASSERT_TRUE(options->window.has_value());
    EXPECT_EQ(std::pair(options->window->level, options->window->width),
              std::pair(std::int64_t{-600}, std::int64_t{1500}));
    EXPECT_EQ(std::pair(options->gpuBudgetBytes, options->ramBudgetBytes),
              std::pair(std::uint64_t{256} << 20, std::uint64_t{8} << 30));
    const auto named = BenchOptions::parse({"--window", "soft-tissue"});
    EXPECT_EQ(std::get<BenchOptions>(named).windowPreset, WindowPreset::SoftTissue);
}

TEST(FrameStats, LeaveTheFirstFrameOutOfTheSteadyFigures) {
    const struct {
        std::vector<double> times;
        double first, median, p90;
    } cases[] = {{{}, 0.0, 0.0, 0.0},
                 {{7.0}, 7.0, 7.0, 7.0},
                 // steady: 1 2 3 (odd count): median 2, 90 % rank ceil(2.7) = 3rd
                 {{100.0, 3.0, 1.0, 2.0}, 100.0, 2.0, 3.0},
                 // steady: 1 2 3 4: median 2.5, 90 % rank ceil(3.6) = 4th
                 {{50.0, 4.0, 2.0, 1.0, 3.0}, 50.0, 2.5, 4.0},
                 // steady: 1 … 10: 90 % rank 9 exactly
                 {{9.0, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, 9.0, 5.5, 9.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.times.size());
        const FrameStats stats = FrameStats::fromTimes(c.times);
        EXPECT_EQ(std::tuple(stats.frames, stats.firstMs, stats.medianMs, stats.p90Ms),
                  std::tuple(static_cast<int>(c.times.size()), c.first, c.median, c.p90));
    }
}

} // namespace
