#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

namespace {

// What `voxview` answers before it opens a window: these end the process at once.
TEST(CommandLine, AnswersHelpVersionAndTooManyFilesWithoutAWindow) {
    const struct {
        const char* arguments; // split at spaces
        int exitCode;
        const char* said; // in stdout and stderr together
    } cases[] = {
        {"--version", 0, "voxview "},
        {"--help", 0, "[FILE [DATA]]"},
        {"a.nhdr a.raw b.raw", 2, "voxview takes at most FILE and DATA."},
        {"--gpu-budget 0", 2, "--gpu-budget needs a whole number of megabytes"},
        {"--ram-budget lots", 2, "--ram-budget needs a whole number of megabytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(VOXVIEW_PATH), QString::fromLatin1(c.arguments).split(QLatin1Char(' ')));
        ASSERT_TRUE(process.waitForFinished());
        const QString said =
            QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
        EXPECT_EQ(process.exitCode(), c.exitCode) << said.toStdString();
        EXPECT_TRUE(said.contains(QString::fromLatin1(c.said))) << said.toStdString();
    }
}

} // namespace
