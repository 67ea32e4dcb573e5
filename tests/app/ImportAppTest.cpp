#include "DicomTestSeries.h"
#include "ImageMetrics.h"
#include "ScriptedFilePicker.h"
#include "ShownWindow.h"
#include "VolumeFileWriters.h"
#include "ui/import/ImportCommand.h"
#include "ui/window/SaveImageCommand.h"

#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QUrl>
#include <functional>
#include <gmock/gmock.h>
#include <nifti1.h>
#include <vector>

namespace {

constexpr int kSide = 64;
// CT numbers: air around a ball of soft tissue.
constexpr int kAir = -1000;
constexpr int kTissue = 400;
constexpr int kBallRadius = 24;

// The header of a 64³ signed volume, ending with a blank line: with the samples after
// it the data is attached; alone, it is a detached header that names no data file.
const QByteArray kBallHeader =
    nrrdHeader("short", {kSide, kSide, kSide}, "raw", "spacings: 1 1 1\nendian: little\n\n");

// The samples of a ball of `tissue` in `air` filling the 64³ volume, x fastest.
template <typename T> QByteArray ballSamples(T air, T tissue) {
    std::vector<T> samples;
    for (int z = 0; z < kSide; ++z)
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x) {
                const int dx = x - kSide / 2, dy = y - kSide / 2, dz = z - kSide / 2;
                samples.push_back(dx * dx + dy * dy + dz * dz <= kBallRadius * kBallRadius ? tissue : air);
            }
    return bytesOf(samples);
}
// A ball of soft tissue in air, as a signed CT import stores it.
const QByteArray kBall = ballSamples<std::int16_t>(kAir, kTissue);

// The viewer window on the built-in volume, importing through scripted panels.
class ImportAppTest : public ShownWindowTest {
  protected:
    void SetUp() override {
        auto window = std::make_unique<WindowController>(nullptr, gpu::createSystemDefaultDevice, m_budgets);
        std::tie(m_panels, m_alert) = script(window->contentViewController()->importCommand());
        ASSERT_NO_FATAL_FAILURE(show(std::move(window)));
    }

    ImportCommand& command() const { return m_window->contentViewController()->importCommand(); }
    std::string status() const { return m_window->statusText().toStdString(); }

    // Waits until the import's volume is drawn, every brick it needs resident, or the import
    // is refused: on a loaded machine the first frames of a new volume may still lack bricks.
    void waitForImport() {
        ASSERT_TRUE(QTest::qWaitFor([this] { return !command().isLoading(); }, kTimeoutMs));
        ASSERT_TRUE(waitForBricks());
    }
    void import(std::deque<std::optional<QString>> answers) {
        m_panels->answers = std::move(answers);
        m_window->menuImportaction();
        waitForImport();
    }

    ViewerBudgets m_budgets;
    TestFolder m_files;
    ScriptedFilePicker* m_panels = nullptr;
    RecordingAlert* m_alert = nullptr;
};

// The ways a user opens a detached header that ends with a blank line and names no data
// file: the menu (two panels), `voxview HEADER DATA` once the window is up (none) and a
// drop (the data file's panel). Each reaches its data file and shows the ball.
TEST_F(ImportAppTest, DetachedHeaderEndingInABlankLineOpensWithItsDataFile) {
    const QString data = m_files.write(QStringLiteral("ball.raw"), kBall);
    const QImage builtIn = grab(QStringLiteral("open-before"));
    const struct {
        const char* name;
        std::function<void(const QString& header)> open;
        std::size_t panels;
    } ways[] = {{"menu",
                 [&](const QString& header) {
                     m_panels->answers = {header, data};
                     QTest::keyClick(m_window->windowHandle(), Qt::Key_O, Qt::ControlModifier);
                 },
                 2},
                {"command-line", [&](const QString& header) { m_window->openFile(header, data); }, 0},
                {"drop", // as a file manager drops a file onto the window
                 [&](const QString& header) {
                     m_panels->answers = {data};
                     QMimeData dragged;
                     dragged.setUrls({QUrl::fromLocalFile(header)});
                     const QPoint centre = m_window->rect().center();
                     QDragEnterEvent enter(centre, Qt::CopyAction, &dragged, Qt::LeftButton, Qt::NoModifier);
                     QApplication::sendEvent(m_window.get(), &enter);
                     ASSERT_TRUE(enter.isAccepted());
                     QDropEvent drop(QPointF(centre), Qt::CopyAction, &dragged, Qt::LeftButton,
                                     Qt::NoModifier);
                     QApplication::sendEvent(m_window.get(), &drop);
                     // The drop opens the file once the drag has ended.
                     ASSERT_TRUE(QTest::qWaitFor([this] { return command().isLoading(); }, kTimeoutMs));
                 },
                 1}};
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        const QString name = QString::fromLatin1(way.name);
        const std::size_t panelsBefore = m_panels->requests.size();
        way.open(m_files.write(name + QStringLiteral(".nhdr"), kBallHeader));
        waitForImport();
        const QImage after = grab(QStringLiteral("open-after-") + name);

        EXPECT_TRUE(m_alert->warnings.isEmpty()) << m_alert->warnings.join('\n').toStdString();
        EXPECT_EQ(m_panels->requests.size() - panelsBefore, way.panels);
        EXPECT_EQ(m_window->statusText(), QStringLiteral("64 × 64 × 64 · 1.0 × 1.0 × 1.0 mm"));
        EXPECT_EQ(m_window->windowTitle(), name + QStringLiteral(".nhdr — 64 × 64 × 64 — voxview"));
        ASSERT_EQ(after.size(), builtIn.size());
        EXPECT_GT(imagemetrics::changedPixels(builtIn, after), builtIn.width() * builtIn.height() / 10);
        // The ball sits in the middle and is lit; the air around it is not drawn.
        EXPECT_NE(after.pixel(after.width() / 2, after.height() / 2), after.pixel(2, 2));
    }
}

// Escape while the samples are being decoded stops the import: the volume, title and
// status line stay, and the window goes on drawing and importing. Escape once the
// upload has begun may let the volume arrive, but the window then describes the volume
// it shows. Escape is pressed as the status line shows the import's progress, from the
// slot that shows it: on a busy machine one turn of the event loop can carry an import
// through all its progress to its end, past any poll of the status line.
TEST_F(ImportAppTest, EscapeDuringAnImportKeepsAWholeVolumeOnShowAndTheWindowWorking) {
    // 256³ samples as text of 16 bytes each, written a slice at a time: parsed for several
    // tenths of a second after the first progress report, which comes a tenth of a second
    // into the import, so that an Escape pressed then lands while the samples are decoded.
    const QString slow = m_files.path(QStringLiteral("slow.nrrd"));
    QFile file(slow);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(nrrdHeader("ushort", {256, 256, 256}, "ascii", "\n"));
    const QByteArray slice = QByteArray("000000000000001 ").repeated(256 * 256);
    for (int z = 0; z < 256; ++z)
        file.write(slice);
    file.close();
    const QString ball = m_files.write(QStringLiteral("ball.nrrd"), kBallHeader + kBall);
    const QString title = m_window->windowTitle();
    const QString described = m_window->statusText();
    const QImage before = grab(QStringLiteral("escape-before"));
    auto* cancel = m_window->findChild<QPushButton*>(QStringLiteral("cancelImportButton"));
    EXPECT_FALSE(cancel->isVisible());
    // Imports the slow file and presses Escape when the status line first shows `when`.
    const auto escapeAt = [&](const char* when) {
        const QRegularExpression at(QString::fromUtf8(when));
        bool pressed = false;
        const QMetaObject::Connection watching =
            QObject::connect(&command(), &ImportCommand::statusChanged, [&](const QString& text) {
                if (pressed || !at.match(text).hasMatch())
                    return;
                pressed = true;
                EXPECT_TRUE(cancel->isVisible());
                QTest::keyClick(m_window->windowHandle(), Qt::Key_Escape);
                EXPECT_FALSE(command().isLoading());
                EXPECT_FALSE(cancel->isVisible());
            });
        m_panels->answers = {slow};
        m_window->menuImportaction();
        EXPECT_TRUE(QTest::qWaitFor([&] { return pressed; }, kTimeoutMs)) << when << ": " << status();
        QObject::disconnect(watching);
        QThreadPool::globalInstance()->waitForDone();
        ASSERT_TRUE(waitForFrames(2));
    };

    // The first progress report: decoding has begun.
    escapeAt("^Loading slow.nrrd … [1-9][0-9]? %$");
    EXPECT_EQ(renderer().volumeState().width, 512u);
    EXPECT_EQ(m_window->statusText(), described);
    EXPECT_EQ(m_window->windowTitle(), title);
    EXPECT_EQ(imagemetrics::changedPixels(before, grab(QStringLiteral("escape-during-decode"))), 0);

    escapeAt("^Uploading slow.nrrd");
    const std::uint64_t shown = renderer().volumeState().width;
    EXPECT_TRUE(shown == 512u || shown == 256u) << shown;
    EXPECT_EQ(m_window->windowTitle().contains(QStringLiteral("256 × 256 × 256")), shown == 256u)
        << m_window->windowTitle().toStdString();

    import({ball});
    EXPECT_EQ(m_window->windowTitle(), QStringLiteral("ball.nrrd — 64 × 64 × 64 — voxview"));
    EXPECT_TRUE(m_alert->warnings.isEmpty()) << m_alert->warnings.join('\n').toStdString();
}

// Volumes of other formats replace the picture through the menu command and panel: the
// ball as a NIfTI float volume, rescaled into the texture, starts with the window over its
// whole range, labels real values with decimals and resets the clip sliders and the lookup,
// which the menu shows; a DICOM folder
// of two series asks which one to show.
TEST_F(ImportAppTest, NiftiAndDicomVolumesReplaceThePicture) {
    const QString nifti = m_files.path(QStringLiteral("ball.nii.gz"));
    writeNifti(nifti,
               {{3, kSide, kSide, kSide, 1}, DT_FLOAT32, ballSamples(0.0f, 0.75f), {1, 1, 1}, 0, 0, false});
    // CT numbers -500 ... -43: inside the window an import starts with.
    const DicomTestSeries head{.intercept = 0};
    head.write(m_files.dir().path());
    DicomTestSeries{.depth = 2, .uid = head.uid + ".2", .description = "Localizer", .fileNumbers = {21, 22}}
        .write(m_files.dir().path());
    // Listed by description: "Head 2.0" before "Localizer".
    auto chooser = std::make_unique<ScriptedSeriesPicker>(0);
    const ScriptedSeriesPicker& offered = *chooser;
    command().setSeriesPicker(std::move(chooser));
    const QImage before = grab(QStringLiteral("import-formats-before"));
    slider("xslider")->setValue(70);
    action("actionClutBW")->trigger();

    import({nifti});
    EXPECT_EQ(slider("xslider")->value(), 100);
    EXPECT_EQ(renderer().xcept(), 1.0f);
    EXPECT_TRUE(action("actionClutDefault")->isChecked());
    const QImage ball = grab(QStringLiteral("import-nifti"));
    EXPECT_THAT(status(), testing::StartsWith("64 × 64 × 64 · 1.0 × 1.0 × 1.0 mm"));
    EXPECT_EQ(label("wlLabel")->text(), QStringLiteral("WL: 0.37501"));
    EXPECT_GT(imagemetrics::changedPixels(before, ball), before.width() * before.height() / 20);
    EXPECT_NE(ball.pixel(ball.width() / 2, ball.height() / 2), ball.pixel(2, 2));

    import({m_files.dir().path()});
    EXPECT_EQ(offered.offered, std::vector<std::size_t>{2});
    EXPECT_EQ(m_window->statusText(), QStringLiteral("8 × 6 × 5 · 0.5 × 0.75 × 2.0 mm"));
    EXPECT_GT(imagemetrics::changedPixels(ball, grab(QStringLiteral("import-dicom"))), 0);
    EXPECT_TRUE(m_alert->warnings.isEmpty()) << m_alert->warnings.join('\n').toStdString();
}

// A refused import leaves the window, its picture and its controls as they were and says
// why: a file cut short; a folder whose DICOM file is damaged where GDCM asserts (the VR of
// the file meta group's first element), which the import worker lists so that the library's
// abort ends the worker instead of the window; a column whose page table the GPU cannot
// hold, refused at the hand-over.
TEST_F(ImportAppTest, RefusedImportKeepsThePictureAndShowsWhy) {
    const QByteArray ball = kBallHeader + kBall;
    const QString shortBall = m_files.write(QStringLiteral("short.nrrd"), ball.left(ball.size() - 1000));
    constexpr qsizetype kFirstMetaVr = 136; // after the preamble, "DICM" and the first tag
    const QTemporaryDir written;
    QByteArray slice = readFile(DicomTestSeries{}.write(written.path()).front());
    slice[kFirstMetaVr] = static_cast<char>(~slice[kFirstMetaVr]);
    ASSERT_TRUE(QDir(m_files.dir().path()).mkdir(QStringLiteral("damaged")));
    const QString damaged = QFileInfo(m_files.write(QStringLiteral("damaged/IM0001.dcm"), slice)).path();
    const QString column = m_files.write(QStringLiteral("column.nrrd"),
                                         nrrdHeader("ushort", {1, 1, 600000}, "raw", "endian: little\n\n") +
                                             QByteArray(1200000, '\1'));
    slider("xslider")->setValue(70);
    QTest::keyClick(m_window->windowHandle(), Qt::Key_8); // a window preset: more bricks show
    ASSERT_TRUE(waitForFrames(1));
    ASSERT_TRUE(waitForBricks());
    const QImage before = grab(QStringLiteral("refused-before"));
    const QSize windowSize = m_window->size();
    const QString level = label("wlLabel")->text();
    const QString title = m_window->windowTitle();
    const struct {
        QString path;
        const char* start;
        const char* said;
    } refusals[] = {{shortBall, "Cannot import short.nrrd: The data holds", "1000 bytes short"},
                    {damaged, "Cannot import damaged: ", "IM0001.dcm"},
                    {column, "Cannot import column.nrrd: the volume is too long for this GPU",
                     "its page table needs 10 x 1 x 18750"}};
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.start);
        const qsizetype warnings = m_alert->warnings.size();
        import({refusal.path});
        EXPECT_THAT(status(),
                    testing::AllOf(testing::StartsWith(refusal.start), testing::HasSubstr(refusal.said)));
        EXPECT_EQ(m_alert->warnings.size(), warnings + 1);
        EXPECT_EQ(m_window->size(), windowSize);
        EXPECT_EQ(m_window->windowTitle(), title);
        EXPECT_EQ(slider("xslider")->value(), 70);
        EXPECT_EQ(label("wlLabel")->text(), level);
        EXPECT_EQ(imagemetrics::changedPixels(before, grab(QStringLiteral("refused-after"))), 0);
    }
}

class InPlaceImportAppTest : public ImportAppTest {
  protected:
    InPlaceImportAppTest() {
        m_budgets.importRamBytes = 1;
        m_budgets.pool.gpuBytes = std::uint64_t{96} << 20;
    }
};

// The window's budgets reach its renderer and its imports. A 512 × 512 × 4 slab read in
// place, its face drawn from level 1 until a zoom needs level 0, whose bricks cannot be read once the file is
// cut short: the status line says so, Save Image saves nothing rather than the coarse picture, and the file
// made whole reloads.
TEST_F(InPlaceImportAppTest, DataFileCutShortWhileStreamedIsToldAndNoCoarsePictureIsSaved) {
    const QByteArray samples = sampleBytes(std::vector<int>(512 * 512 * 4, 500), 2);
    const QString data = m_files.write(QStringLiteral("slab.raw"), samples);
    import({m_files.write(QStringLiteral("slab.nhdr"),
                          nrrdHeader("ushort", {512, 512, 4}, "raw", "spacings: 1 1 1\n")),
            data});
    EXPECT_EQ(renderer().budgets().gpuBytes, m_budgets.pool.gpuBytes);
    const BrickPool& pool = *renderer().brickPool();
    ASSERT_GT(pool.level(), 0u);
    ASSERT_TRUE(QFile::resize(data, samples.size() / 2));
    for (int notch = 0; notch < 20 && pool.level() > 0; ++notch) {
        wheelAt(viewCentre(), {0, 120});
        ASSERT_TRUE(waitForFrames(2));
    }
    const QString told = "The data file slab.raw changed or vanished: the view cannot be completed.";
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_window->statusText() == told; }, kTimeoutMs)) << status();
    auto* reload = m_window->findChild<QPushButton*>(QStringLiteral("reloadButton"));
    EXPECT_TRUE(reload->isVisible());

    const QString picture = m_files.path(QStringLiteral("slab view.png"));
    const RecordingAlert& saveWarnings = *script(m_window->saveImageCommand(), {picture}).second;
    QTest::keyClick(m_window->windowHandle(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_FALSE(QFile::exists(picture));
    EXPECT_TRUE(saveWarnings.warnings.value(0).startsWith(
        QStringLiteral("The picture is incomplete: the data file slab.raw changed or vanished")));

    m_files.write(QStringLiteral("slab.raw"), samples);
    QTest::mouseClick(reload, Qt::LeftButton);
    waitForImport();
    EXPECT_EQ(m_window->statusText(), QStringLiteral("512 × 512 × 4 · 1.0 × 1.0 × 1.0 mm"));
    EXPECT_FALSE(reload->isVisible());
}

// The window's own import path under load: the command reads and decodes on the global
// thread pool and hands each volume over while the view keeps drawing on the GUI thread;
// imports start before the previous one has finished, so later ones stop earlier ones
// mid-read or mid-upload. Run under ThreadSanitizer it finds races between the upload
// and the frames; in any build the last import's volume must be the one on show.
class ImportStress : public ImportAppTest {};

TEST_F(ImportStress, OverlappingImportsThroughTheCommandEndOnTheLastVolume) {
    constexpr int kImports = 12;
    constexpr int kPauseStepMs = 25;
    const struct { int width, height, depth; } sizes[] = {{48, 40, 32}, {64, 24, 40}};
    QStringList paths;
    for (const auto& size : sizes)
        paths << m_files.write(
            QStringLiteral("v%1.nrrd").arg(size.width),
            nrrdHeader("unsigned short", {size.width, size.height, size.depth}, "raw", "endian: little\n\n") +
                QByteArray(size.width * size.height * size.depth * 2, '\5'));
    for (int import = 0; import < kImports; ++import) {
        m_panels->answers = {paths[import % 2]};
        m_window->menuImportaction();
        // The GUI thread turns its event loop (frames, queued hand-over results) for no
        // time at all up to a few frames' worth: some imports overtake a read, some an upload.
        QTest::qWait(kPauseStepMs * (import % 3));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !command().isLoading(); }, 2 * kTimeoutMs));
    ASSERT_TRUE(waitForFrames(1));

    EXPECT_TRUE(m_alert->warnings.isEmpty()) << m_alert->warnings.join('\n').toStdString();
    const auto& last = sizes[(kImports - 1) % 2];
    const QVRenderer::VolumeState shown = renderer().volumeState();
    EXPECT_EQ(std::tuple(shown.width, shown.height, shown.depth),
              std::tuple(std::uint64_t(last.width), std::uint64_t(last.height), std::uint64_t(last.depth)));
}

} // namespace
