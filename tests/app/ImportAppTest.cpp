#include "DicomTestSeries.h"
#include "ImageMetrics.h"
#include "ImportCommand.h"
#include "QVMTKView.h"
#include "QVRenderer.h"
#include "ScriptedFilePicker.h"
#include "WindowController.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>
#include <gtest/gtest.h>
#include <memory>

namespace {

constexpr QSize kWindowSize(320, 240);
// Generous: the built-in volume's upload and frames are slow on a loaded machine.
constexpr int kTimeoutMs = 60000;
constexpr int kSide = 64;
// CT numbers: air around a ball of soft tissue.
constexpr int kAir = -1000;
constexpr int kTissue = 400;
constexpr int kBallRadius = 24;

// A 64³ signed volume of a ball in air, with its data attached to the header.
QByteArray ballVolume() {
    QByteArray file = QByteArrayLiteral("NRRD0004\ntype: short\ndimension: 3\nsizes: 64 64 64\n"
                                        "spacings: 1 1 1\nendian: little\nencoding: raw\n\n");
    for (int z = 0; z < kSide; ++z) {
        for (int y = 0; y < kSide; ++y) {
            for (int x = 0; x < kSide; ++x) {
                const int dx = x - kSide / 2;
                const int dy = y - kSide / 2;
                const int dz = z - kSide / 2;
                const bool inside = dx * dx + dy * dy + dz * dz <= kBallRadius * kBallRadius;
                char sample[2];
                qToLittleEndian(static_cast<qint16>(inside ? kTissue : kAir), sample);
                file.append(sample, 2);
            }
        }
    }
    return file;
}

// The viewer window on the built-in volume, importing through scripted panels.
class ImportAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_files.isValid());
        m_window = std::make_unique<WindowController>();
        auto panels = std::make_unique<ScriptedFilePicker>();
        m_panels = panels.get();
        auto alert = std::make_unique<RecordingAlert>();
        m_alert = alert.get();
        command().setFilePicker(std::move(panels));
        command().setUserAlert(std::move(alert));
        m_window->resize(kWindowSize);
        m_window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
        ASSERT_TRUE(waitForFrames(2));
    }

    ImportCommand& command() const { return m_window->contentViewController()->importCommand(); }

    QString write(const QString& name, const QByteArray& bytes) const {
        const QString path = QDir(m_files.path()).filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        EXPECT_EQ(file.write(bytes), bytes.size());
        return path;
    }

    bool waitForFrames(int frames) {
        QSignalSpy swapped(m_window->view(), &QOpenGLWidget::frameSwapped);
        return QTest::qWaitFor([&] { return swapped.count() >= frames; }, kTimeoutMs);
    }

    // Runs the import and waits until its volume is drawn or it is refused.
    void import(std::deque<std::optional<QString>> answers) {
        m_panels->answer(std::move(answers));
        m_window->menuImportaction();
        ASSERT_TRUE(QTest::qWaitFor([this] { return !command().isLoading(); }, kTimeoutMs));
        ASSERT_TRUE(waitForFrames(2));
    }

    // The view's picture, kept as a test artefact.
    QImage grab(const QString& name) const {
        const QImage image = m_window->view()->grabFramebuffer();
        const QDir artefacts(QCoreApplication::applicationDirPath() + QStringLiteral("/../test-artifacts"));
        artefacts.mkpath(QStringLiteral("."));
        image.save(artefacts.filePath(name + QStringLiteral(".png")));
        return image;
    }

    QTemporaryDir m_files;
    std::unique_ptr<WindowController> m_window;
    ScriptedFilePicker* m_panels = nullptr;
    RecordingAlert* m_alert = nullptr;
};

TEST_F(ImportAppTest, ImportedVolumeReplacesThePicture) {
    const QImage before = grab(QStringLiteral("import-before"));
    import({write(QStringLiteral("ball.nrrd"), ballVolume())});
    const QImage after = grab(QStringLiteral("import-after"));

    EXPECT_TRUE(m_alert->warnings().isEmpty()) << m_alert->warnings().join('\n').toStdString();
    EXPECT_EQ(m_window->statusText(), QStringLiteral("64 × 64 × 64 · 1.0 × 1.0 × 1.0 mm"));
    EXPECT_EQ(m_window->contentViewController()->renderer()->volumeState().width, 64u);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_GT(imagemetrics::changedPixels(before, after), before.width() * before.height() / 10);
    // The ball sits in the middle and is lit; the air around it is not drawn.
    EXPECT_NE(after.pixel(after.width() / 2, after.height() / 2), after.pixel(2, 2));
}

TEST_F(ImportAppTest, RefusedImportKeepsThePictureAndShowsWhy) {
    const QByteArray ball = ballVolume();
    const QString shortBall = write(QStringLiteral("short.nrrd"), ball.left(ball.size() - 1000));
    const QImage before = grab(QStringLiteral("refused-before"));
    const QSize windowSize = m_window->size();
    import({shortBall});
    const QImage after = grab(QStringLiteral("refused-after"));

    EXPECT_EQ(m_window->size(), windowSize);
    EXPECT_TRUE(m_window->statusText().startsWith(QStringLiteral("Cannot import short.nrrd: ")));
    EXPECT_TRUE(m_window->statusText().contains(QStringLiteral("1000 bytes short")))
        << m_window->statusText().toStdString();
    EXPECT_EQ(m_alert->warnings().size(), 1);
    EXPECT_EQ(imagemetrics::changedPixels(before, after), 0);
}

TEST_F(ImportAppTest, DicomFolderAsksForASeriesAndShowsIt) {
    // CT numbers -500 ... -43: inside the window an import starts with.
    const DicomTestSeries head{.intercept = 0};
    head.write(m_files.path());
    DicomTestSeries{.depth = 2, .uid = head.uid + ".2", .description = "Localizer", .fileNumbers = {21, 22}}
        .write(m_files.path());
    // Listed by description: "Head 2.0" before "Localizer".
    auto chooser = std::make_unique<ScriptedSeriesPicker>(0);
    const ScriptedSeriesPicker& shown = *chooser;
    command().setSeriesPicker(std::move(chooser));
    const QImage before = grab(QStringLiteral("dicom-before"));
    m_panels->answer({m_files.path()});
    m_window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
    QTest::keyClick(m_window.get(), Qt::Key_O, Qt::ControlModifier); // the import's shortcut
    ASSERT_TRUE(QTest::qWaitFor([this] { return !command().isLoading(); }, kTimeoutMs));
    ASSERT_TRUE(waitForFrames(2));
    const QImage after = grab(QStringLiteral("dicom-after"));

    EXPECT_TRUE(m_alert->warnings().isEmpty()) << m_alert->warnings().join('\n').toStdString();
    EXPECT_EQ(shown.offered, std::vector<std::size_t>{2});
    EXPECT_EQ(m_window->statusText(), QStringLiteral("8 × 6 × 5 · 0.5 × 0.75 × 2.0 mm"));
    EXPECT_EQ(m_window->contentViewController()->renderer()->volumeState().depth, 5u);
    EXPECT_GT(imagemetrics::changedPixels(before, after), 0);
}

} // namespace
