#include "ImportCommand.h"
#include "QVMTKView.h"
#include "QVRenderer.h"
#include "ScriptedFilePicker.h"
#include "ViewController.h"
#include "VolumeFileWriters.h"
#include "WindowController.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>
#include <gtest/gtest.h>

namespace {

constexpr QSize kWindowSize(200, 160);
constexpr int kTimeoutMs = 120000;
constexpr int kImports = 12;
constexpr int kPauseStepMs = 25;

// An attached NRRD volume of unsigned 16-bit samples whose size names it.
QByteArray volume(int width, int height, int depth) {
    QByteArray file = QStringLiteral("NRRD0004\ntype: unsigned short\ndimension: 3\nsizes: %1 %2 %3\n"
                                     "encoding: raw\nendian: little\n\n")
                          .arg(width)
                          .arg(height)
                          .arg(depth)
                          .toLatin1();
    for (int i = 0; i < width * height * depth; ++i) {
        char sample[2];
        qToLittleEndian(static_cast<quint16>(i % 7 == 0 ? 1500 : 0), sample);
        file.append(sample, 2);
    }
    return file;
}

// The window's own import path under load: the command reads and decodes on the global
// thread pool and hands each volume over while the view keeps drawing on the GUI thread;
// imports start before the previous one has finished, so later ones stop earlier ones
// mid-read or mid-upload. Run under ThreadSanitizer it finds races between the upload
// and the frames; in any build the last import's volume must be the one on show.
TEST(ImportStress, OverlappingImportsThroughTheCommandEndOnTheLastVolume) {
    QTemporaryDir files;
    ASSERT_TRUE(files.isValid());
    const struct { int width, height, depth; } sizes[] = {{48, 40, 32}, {64, 24, 40}};
    QStringList paths;
    for (const auto& size : sizes) {
        const QString path = QDir(files.path()).filePath(QStringLiteral("v%1.nrrd").arg(size.width));
        paths << writeFile(path, volume(size.width, size.height, size.depth));
    }

    WindowController window;
    auto panels = std::make_unique<ScriptedFilePicker>();
    ScriptedFilePicker* answers = panels.get();
    auto alert = std::make_unique<RecordingAlert>();
    const RecordingAlert* warnings = alert.get();
    ImportCommand& command = window.contentViewController()->importCommand();
    command.setFilePicker(std::move(panels));
    command.setUserAlert(std::move(alert));
    window.resize(kWindowSize);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    for (int import = 0; import < kImports; ++import) {
        answers->answer({paths[import % 2]});
        window.menuImportaction();
        // The GUI thread turns its event loop (frames, queued hand-over results) for no
        // time at all up to a few frames' worth: some imports overtake a read, some an upload.
        QTest::qWait(kPauseStepMs * (import % 3));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !command.isLoading(); }, kTimeoutMs));
    QSignalSpy frames(window.view(), &QVMTKView::frameCompleted);
    ASSERT_TRUE(QTest::qWaitFor([&] { return frames.count() >= 1; }, kTimeoutMs));

    EXPECT_TRUE(warnings->warnings().isEmpty()) << warnings->warnings().join('\n').toStdString();
    const auto& last = sizes[(kImports - 1) % 2];
    const QVRenderer::VolumeState shown = window.contentViewController()->renderer()->volumeState();
    EXPECT_EQ(shown.width, static_cast<std::uint64_t>(last.width));
    EXPECT_EQ(shown.height, static_cast<std::uint64_t>(last.height));
    EXPECT_EQ(shown.depth, static_cast<std::uint64_t>(last.depth));
}

} // namespace
