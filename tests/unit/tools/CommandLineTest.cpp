#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

namespace {

// What `voxview` answers before it opens a window: these end the process at once.
TEST(CommandLine, AnswersHelpVersionAndTooManyFilesWithoutAWindow) {
    const struct {
        QStringList arguments;
        int exitCode;
        const char* said; // in stdout and stderr together
    } cases[] = {
        {{QStringLiteral("--version")}, 0, "voxview "},
        {{QStringLiteral("--help")}, 0, "[FILE [DATA]]"},
        {{QStringLiteral("a.nhdr"), QStringLiteral("a.raw"), QStringLiteral("b.raw")},
         2,
         "voxview takes at most FILE and DATA."},
        {{QStringLiteral("--gpu-budget"), QStringLiteral("0")},
         2,
         "--gpu-budget needs a whole number of megabytes"},
        {{QStringLiteral("--ram-budget"), QStringLiteral("lots")},
         2,
         "--ram-budget needs a whole number of megabytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(QLatin1Char(' ')).toStdString());
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(VOXVIEW_PATH), c.arguments);
        ASSERT_TRUE(process.waitForFinished());
        const QString said =
            QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
        EXPECT_EQ(process.exitCode(), c.exitCode) << said.toStdString();
        EXPECT_TRUE(said.contains(QString::fromLatin1(c.said))) << said.toStdString();
    }
}

} // namespace
