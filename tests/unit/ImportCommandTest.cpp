#include "ImportCommand.h"

#include "ImportHandOver.h"
#include "LogCapture.h"
#include "NRRDfmt.h"
#include "NrrdTestFiles.h"
#include "PoolGate.h"
#include "QVRenderer.h"
#include "RecordingGpu.h"
#include "RendererTestBed.h"
#include "ScriptedFilePicker.h"
#include "VolumeFileWriters.h"
#include "WindowController.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QThreadPool>
#include <algorithm>
#include <array>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <nifti1.h>
#include <ostream>

namespace {

constexpr int kTimeoutMs = 30000;
constexpr std::array kSliderNames{"xslider", "xbtmslider", "yslider",   "ybtmslider",
                                  "zslider", "zbtmslider", "zrotslider"};

// A detached header of a 4 × 3 × 2 volume with spacing 0.5 × 0.75 × 2.5.
QByteArray detachedHeader(const QString& dataFile, const QString& type = QStringLiteral("unsigned short"),
                          const QString& encoding = QStringLiteral("raw")) {
    return QStringLiteral("NRRD0004\n"
                          "type: %1\n"
                          "dimension: 3\n"
                          "sizes: 4 3 2\n"
                          "space directions: (0.5,0,0) (0,0.75,0) (0,0,2.5)\n"
                          "endian: little\n"
                          "encoding: %2\n"
                          "data file: %3\n")
        .arg(type, encoding, dataFile)
        .toUtf8();
}

constexpr int kVoxels = 4 * 3 * 2;

std::vector<std::byte> bytesOf(const QByteArray& bytes) {
    std::vector<std::byte> out(static_cast<std::size_t>(bytes.size()));
    std::memcpy(out.data(), bytes.constData(), out.size());
    return out;
}

// Everything an import may change, to compare before and after one that is refused.
struct ViewState {
    std::int64_t wl, ww, clutmode;
    float zoom, xrot, yrot, zrot, xcept, xceptBtm, ycept, yceptBtm, zcept, zceptBtm;
    const gpu::Texture* texture;
    std::uint64_t width, height, depth;
    float cellspaceX, cellspaceY, cellspaceZ;
    std::int32_t sampleOffset;
    std::array<int, kSliderNames.size()> sliders;

    bool operator==(const ViewState&) const = default;

    friend void PrintTo(const ViewState& s, std::ostream* out) {
        *out << "window " << s.wl << "/" << s.ww << ", clut " << s.clutmode << ", zoom " << s.zoom
             << ", clips " << s.xcept << " " << s.xceptBtm << " " << s.ycept << " " << s.yceptBtm << " "
             << s.zcept << " " << s.zceptBtm << ", volume " << s.width << "x" << s.height << "x" << s.depth
             << " texture " << s.texture << ", sliders";
        for (const int position : s.sliders) {
            *out << " " << position;
        }
    }
};

// The main window on a recording GPU device, its import command driven by scripted
// panels and a recording alert.
class ImportCommandTest : public ::testing::Test {
  protected:
    ImportCommandTest() {
        m_window = std::make_unique<WindowController>(nullptr, [this] { return m_device; });
        auto panels = std::make_unique<ScriptedFilePicker>();
        m_panels = panels.get();
        auto alert = std::make_unique<RecordingAlert>();
        m_alert = alert.get();
        command().setFilePicker(std::move(panels));
        command().setUserAlert(std::move(alert));
    }

    ImportCommand& command() const { return m_window->contentViewController()->importCommand(); }
    QVRenderer& renderer() const { return *m_window->contentViewController()->renderer(); }
    QSlider* slider(const char* name) const {
        return m_window->findChild<QSlider*>(QString::fromLatin1(name));
    }

    // Runs the command with the panels answering as given, and waits until its volume
    // is shown or refused.
    void import(std::deque<std::optional<QString>> answers) {
        m_panels->answer(std::move(answers));
        m_window->menuImportaction();
        ASSERT_TRUE(QTest::qWaitFor([this] { return !command().isLoading(); }, kTimeoutMs));
    }

    // Moves every slider and every value an import resets away from its default, the
    // way the user would.
    void disturb() {
        int position = 10;
        for (const char* name : kSliderNames) {
            slider(name)->setValue(position);
            position += 5;
        }
        renderer().setWl(100);
        renderer().setWw(200);
        renderer().setClutmode(1);
        renderer().setZoom(0.5f);
        renderer().setXrot(0.25f);
    }

    ViewState state() const {
        const QVRenderer& r = renderer();
        const QVRenderer::VolumeState v = r.volumeState();
        ViewState s{r.wl(),       r.ww(),          r.clutmode(),   r.zoom(),  r.xrot(),     r.yrot(),
                    r.zrot(),     r.xcept(),       r.xceptBtm(),   r.ycept(), r.yceptBtm(), r.zcept(),
                    r.zceptBtm(), v.texture.get(), v.width,        v.height,  v.depth,      v.cellspaceX,
                    v.cellspaceY, v.cellspaceZ,    v.sampleOffset, {}};
        for (std::size_t i = 0; i < kSliderNames.size(); ++i) {
            s.sliders[i] = slider(kSliderNames[i])->value();
        }
        return s;
    }

    // The voxels uploaded for the volume on show.
    std::vector<std::byte> shownVoxels() const {
        return m_device->texture(*renderer().volumeState().texture).lastBytes;
    }

    // How many textures of the 4 × 3 × 2 volume the device has made.
    std::ptrdiff_t texturesOfTheRamp() const {
        return std::ranges::count_if(m_device->textures(), [](const recording::TextureRecord& texture) {
            const gpu::TextureDescriptor& d = texture.descriptor;
            return d.width == 4 && d.height == 3 && d.depth == 2;
        });
    }

    std::shared_ptr<recording::Device> m_device = std::make_shared<recording::Device>();
    std::unique_ptr<WindowController> m_window;
    ScriptedFilePicker* m_panels = nullptr;
    RecordingAlert* m_alert = nullptr;
    NrrdTestFiles m_files;
};

TEST_F(ImportCommandTest, CancelledHeaderPanelLogsAndChangesNothing) {
    disturb();
    const ViewState before = state();
    const QString status = m_window->statusText();
    LogCapture log;
    import({std::nullopt});

    EXPECT_EQ(log.lines(), (QStringList{QStringLiteral("menuImportaction"),
                                        QStringLiteral("Cancel button was pressed.")}));
    ASSERT_EQ(m_panels->requests().size(), 1u);
    // Every format the viewer reads, each on its own and together, and any file.
    const QStringList filters = m_panels->requests()[0].nameFilters;
    for (const char* pattern : {"*.nrrd", "*.nhdr", "*.dcm", "*.nii", "*.nii.gz", "*.hdr", "*.tif", "*.tiff"})
        EXPECT_TRUE(filters.front().contains(QLatin1String(pattern))) << pattern;
    EXPECT_EQ(filters.size(), 6);
    EXPECT_EQ(filters.back(), QStringLiteral("All files (*)"));
    EXPECT_EQ(state(), before);
    EXPECT_EQ(m_window->statusText(), status);
    EXPECT_TRUE(m_alert->warnings().isEmpty());
}

// The data panel opens beside the header with its data file chosen; the encoding
// names the first filter, and "All files" is selected where that filter would hide
// the named file.
struct DataPanelCase {
    const char* encoding;
    const char* dataFile;
    const char* firstFilter;
    int selectedFilter;

    friend void PrintTo(const DataPanelCase& c, std::ostream* out) {
        *out << c.encoding << " " << c.dataFile;
    }
};

class DataPanelTest : public ImportCommandTest, public ::testing::WithParamInterface<DataPanelCase> {};

TEST_P(DataPanelTest, OpensBesideTheHeaderAndCancelChangesNothing) {
    const DataPanelCase& c = GetParam();
    const QString header = m_files.write(
        QStringLiteral("head.nhdr"), detachedHeader(QString::fromLatin1(c.dataFile), QStringLiteral("ushort"),
                                                    QString::fromLatin1(c.encoding)));
    const QString data = m_files.write(QString::fromLatin1(c.dataFile), QByteArray(2 * kVoxels, '\0'));
    disturb();
    const ViewState before = state();
    const QString status = m_window->statusText();
    LogCapture log;
    import({header, std::nullopt});

    ASSERT_EQ(m_panels->requests().size(), 2u);
    const FilePickerRequest& panel = m_panels->requests()[1];
    EXPECT_EQ(panel.directory, QFileInfo(header).absolutePath());
    EXPECT_EQ(panel.selectedFile, QFileInfo(data).absoluteFilePath());
    EXPECT_EQ(panel.nameFilters,
              (QStringList{QString::fromLatin1(c.firstFilter), QStringLiteral("All files (*)")}));
    EXPECT_EQ(panel.selectedFilter, c.selectedFilter);
    EXPECT_EQ(log.lines(), (QStringList{QStringLiteral("menuImportaction"),
                                        QStringLiteral("Cancel button was pressed.")}));
    EXPECT_EQ(state(), before);
    EXPECT_EQ(m_window->statusText(), status);
    EXPECT_TRUE(m_alert->warnings().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Encodings, DataPanelTest,
                         ::testing::Values(DataPanelCase{"raw", "head.raw", "raw files (*.raw)", 0},
                                           DataPanelCase{"gzip", "head.raw.gz", "gzip files (*.gzip)", 1},
                                           DataPanelCase{"gz", "head.raw.gz", "gz files (*.gz)", 0}));

TEST_F(ImportCommandTest, ImportedVolumeReachesTheRendererAndResetsTheSliders) {
    const QByteArray samples = sampleBytes(ramp(kVoxels, 1000), 2);
    const QString header =
        m_files.write(QStringLiteral("head.nhdr"), detachedHeader(QStringLiteral("head.raw")));
    const QString data = m_files.write(QStringLiteral("head.raw"), samples);
    disturb();
    std::vector<std::unique_ptr<QSignalSpy>> sliderSignals;
    for (const char* name : kSliderNames) {
        sliderSignals.push_back(std::make_unique<QSignalSpy>(slider(name), &QSlider::valueChanged));
    }
    QSignalSpy statuses(&command(), &ImportCommand::statusChanged);
    import({header, data});

    const QVRenderer::VolumeState volume = renderer().volumeState();
    EXPECT_EQ(volume.width, 4u);
    EXPECT_EQ(volume.height, 3u);
    EXPECT_EQ(volume.depth, 2u);
    EXPECT_FLOAT_EQ(volume.cellspaceX, 0.5f);
    EXPECT_FLOAT_EQ(volume.cellspaceY, 0.75f);
    EXPECT_FLOAT_EQ(volume.cellspaceZ, 2.5f);
    EXPECT_EQ(volume.sampleOffset, 0);
    ASSERT_NE(volume.texture, nullptr);
    EXPECT_EQ(shownVoxels(), bytesOf(samples));
    EXPECT_EQ(renderer().wl(), -10);
    EXPECT_EQ(renderer().ww(), 1300);

    EXPECT_EQ(state().sliders, (std::array{100, 50, 100, 50, 100, 50, 0}));
    for (const auto& spy : sliderSignals) {
        EXPECT_EQ(spy->count(), 0) << "a slider action ran during the reset";
    }
    for (float clip : {renderer().xcept(), renderer().ycept(), renderer().zcept()}) {
        EXPECT_EQ(clip, 1.0f);
    }
    for (float clip :
         {renderer().xceptBtm(), renderer().yceptBtm(), renderer().zceptBtm(), renderer().zrot()}) {
        EXPECT_EQ(clip, 0.0f);
    }

    ASSERT_GE(statuses.count(), 2);
    EXPECT_EQ(statuses.first().at(0).toString(), QStringLiteral("Loading head.raw … 0 %"));
    EXPECT_EQ(m_window->statusText(), QStringLiteral("4 × 3 × 2 · 0.5 × 0.75 × 2.5 mm"));
    EXPECT_TRUE(m_alert->warnings().isEmpty());
}

TEST_F(ImportCommandTest, AttachedDataSkipsTheDataPanelAndSignedSamplesKeepTheirSign) {
    const std::vector<int> values = ramp(kVoxels, -1000);
    const QString nrrd =
        m_files.write(QStringLiteral("head.nrrd"),
                      QByteArrayLiteral("NRRD0004\ntype: short\ndimension: 3\nsizes: 4 3 2\nspacings: 1 1 2\n"
                                        "endian: little\nencoding: raw\n\n") +
                          sampleBytes(values, 2));
    import({nrrd});

    EXPECT_EQ(m_panels->requests().size(), 1u);
    const QVRenderer::VolumeState volume = renderer().volumeState();
    EXPECT_EQ(volume.width, 4u);
    EXPECT_FLOAT_EQ(volume.cellspaceZ, 2.0f);
    EXPECT_EQ(volume.sampleOffset, -32768);
    ASSERT_NE(volume.texture, nullptr);
    std::vector<int> shifted;
    for (const int value : values) {
        shifted.push_back(value + 32768);
    }
    EXPECT_EQ(shownVoxels(), bytesOf(sampleBytes(shifted, 2)));
    EXPECT_EQ(m_window->statusText(), QStringLiteral("4 × 3 × 2 · 1.0 × 1.0 × 2.0 mm"));
}

// Files the import must refuse, each with words of the reason the user is given.
struct RefusalCase {
    const char* name;
    QByteArray header;
    int dataBytes; // < 0: no data file at all
    const char* reason;

    friend void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }
};

class RefusalTest : public ImportCommandTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, RefusedImportTellsWhyAndChangesNothing) {
    const RefusalCase& c = GetParam();
    const QString header = m_files.write(QStringLiteral("head.nhdr"), c.header);
    const QString data = m_files.path(QStringLiteral("head.raw"));
    if (c.dataBytes >= 0) {
        m_files.write(QStringLiteral("head.raw"), QByteArray(c.dataBytes, '\x01'));
    }
    disturb();
    const ViewState before = state();
    LogCapture log;
    import({header, data});

    EXPECT_EQ(state(), before);
    ASSERT_EQ(m_alert->warnings().size(), 1);
    const QString reason = QString::fromLatin1(c.reason);
    EXPECT_TRUE(m_alert->warnings()[0].contains(reason)) << m_alert->warnings()[0].toStdString();
    EXPECT_TRUE(m_window->statusText().contains(reason)) << m_window->statusText().toStdString();
    EXPECT_TRUE(m_window->statusText().startsWith(QStringLiteral("Cannot import head.nhdr: ")));
    EXPECT_EQ(log.count(QStringLiteral("Cannot import head.nhdr")), 1)
        << log.lines().join('\n').toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusalTest,
    ::testing::Values(
        RefusalCase{"ShortData", detachedHeader(QStringLiteral("head.raw")), 2 * kVoxels - 2,
                    "2 bytes short"},
        RefusalCase{"MissingData", detachedHeader(QStringLiteral("head.raw")), -1, "does not exist"},
        RefusalCase{"TwoDimensions",
                    QByteArrayLiteral("NRRD0004\ntype: ushort\ndimension: 2\nsizes: 4 3\n"
                                      "encoding: raw\ndata file: head.raw\n"),
                    2 * 12, "only 3-D volumes"},
        RefusalCase{"BlockSamples", detachedHeader(QStringLiteral("head.raw"), QStringLiteral("block")),
                    4 * kVoxels, "Samples of type \"block\" cannot be shown"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST_F(ImportCommandTest, RefusalAfterAnImportKeepsTheImportedVolume) {
    const QString good =
        m_files.write(QStringLiteral("good.nhdr"), detachedHeader(QStringLiteral("good.raw")));
    m_files.write(QStringLiteral("good.raw"), sampleBytes(ramp(kVoxels), 2));
    const QString bad = m_files.write(QStringLiteral("bad.nhdr"), detachedHeader(QStringLiteral("bad.raw")));
    m_files.write(QStringLiteral("bad.raw"), QByteArray(7, '\0'));
    import({good, m_files.path(QStringLiteral("good.raw"))});
    disturb();
    const ViewState before = state();
    import({bad, m_files.path(QStringLiteral("bad.raw"))});

    EXPECT_EQ(state(), before);
    EXPECT_EQ(m_alert->warnings().size(), 1);
    ASSERT_EQ(m_panels->requests().size(), 4u);
    EXPECT_EQ(m_panels->requests()[2].directory, QFileInfo(good).absolutePath())
        << "the header panel opens where the last header was";
}

TEST_F(ImportCommandTest, LaterImportWinsAndTheEarlierNeverReachesTheRenderer) {
    const QString first =
        m_files.write(QStringLiteral("first.nhdr"), detachedHeader(QStringLiteral("first.raw")));
    m_files.write(QStringLiteral("first.raw"), sampleBytes(ramp(kVoxels, 100), 2));
    const QString second = m_files.write(
        QStringLiteral("second.nrrd"),
        QByteArrayLiteral(
            "NRRD0004\ntype: ushort\ndimension: 3\nsizes: 2 2 2\nspacings: 1 1 1\nencoding: raw\n\n") +
            sampleBytes(ramp(8, 500), 2));
    {
        PoolGate gate;
        m_panels->answer({first, m_files.path(QStringLiteral("first.raw")), second});
        m_window->menuImportaction();
        m_window->menuImportaction();
        EXPECT_TRUE(command().isLoading());
    }
    ASSERT_TRUE(QTest::qWaitFor([this] { return !command().isLoading(); }, kTimeoutMs));
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();

    EXPECT_EQ(renderer().volumeState().width, 2u);
    EXPECT_EQ(texturesOfTheRamp(), 0) << "the earlier volume was uploaded";
    EXPECT_EQ(m_window->statusText(), QStringLiteral("2 × 2 × 2 · 1.0 × 1.0 × 1.0 mm"));
    EXPECT_EQ(state().sliders, (std::array{100, 50, 100, 50, 100, 50, 0}));
    EXPECT_TRUE(m_alert->warnings().isEmpty());
}

// The window stays in samples; the labels convert it through the map of the volume on
// show into the file's units: a float volume's real values, a NIfTI slope and
// intercept, and plain integers again once such a volume is replaced.
TEST_F(ImportCommandTest, LabelsSpeakTheUnitsOfTheVolumeOnShow) {
    std::vector<float> reals(kVoxels);
    for (int i = 0; i < kVoxels; ++i)
        reals[static_cast<std::size_t>(i)] = static_cast<float>(i) / (kVoxels - 1);
    const QString floats = m_files.write(
        QStringLiteral("reals.nrrd"),
        QByteArrayLiteral("NRRD0004\ntype: float\ndimension: 3\nsizes: 4 3 2\nencoding: raw\n\n") +
            ::bytesOf(reals));
    const QString nifti = m_files.path(QStringLiteral("ct.nii"));
    writeNifti(nifti,
               {{3, 4, 3, 2, 1}, DT_INT16, QByteArray(2 * kVoxels, '\1'), {1, 1, 1}, 0.5, -24.0, false});
    const QString integers = m_files.write(
        QStringLiteral("ints.nrrd"), QByteArrayLiteral("NRRD0004\ntype: ushort\ndimension: 3\nsizes: 4 3 2\n"
                                                       "encoding: raw\n\n") +
                                         sampleBytes(ramp(kVoxels), 2));
    const struct {
        QString file;
        const char* wwText;
        const char* wlText;
    } cases[] = {
        {floats, "WW: 0.01984", "WL: -0.00015"},
        {nifti, "WW: 650.0", "WL: -29.0"},
        {integers, "WW: 1300", "WL: -10"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        import({c.file});
        ASSERT_TRUE(m_alert->warnings().isEmpty()) << m_alert->warnings().join('\n').toStdString();
        renderer().setWw(1300);
        renderer().setWl(-10);
        EXPECT_EQ(m_window->contentViewController()->wwLabel->text(), QString::fromLatin1(c.wwText));
        EXPECT_EQ(m_window->contentViewController()->wlLabel->text(), QString::fromLatin1(c.wlText));
    }
}

TEST_F(ImportCommandTest, RefusedImportLeavesAnImportInProgressRunning) {
    const QString loading =
        m_files.write(QStringLiteral("loading.nhdr"), detachedHeader(QStringLiteral("loading.raw")));
    m_files.write(QStringLiteral("loading.raw"), sampleBytes(ramp(kVoxels), 2));
    const QString flat = m_files.write(QStringLiteral("flat.nhdr"),
                                       QByteArrayLiteral("NRRD0004\ntype: ushort\ndimension: 2\nsizes: 4 3\n"
                                                         "encoding: raw\ndata file: loading.raw\n"));
    {
        PoolGate gate;
        m_panels->answer({loading, m_files.path(QStringLiteral("loading.raw")), flat});
        m_window->menuImportaction();
        m_window->menuImportaction();
        EXPECT_TRUE(command().isLoading());
    }
    ASSERT_TRUE(QTest::qWaitFor([this] { return !command().isLoading(); }, kTimeoutMs));

    EXPECT_EQ(renderer().volumeState().width, 4u);
    EXPECT_EQ(m_alert->warnings().size(), 1);
    EXPECT_EQ(m_window->statusText(), QStringLiteral("4 × 3 × 2 · 0.5 × 0.75 × 2.5 mm"));
}

TEST_F(ImportCommandTest, ClosingTheWindowWhileLoadingDropsTheImport) {
    const QString header =
        m_files.write(QStringLiteral("head.nhdr"), detachedHeader(QStringLiteral("head.raw")));
    m_files.write(QStringLiteral("head.raw"), sampleBytes(ramp(kVoxels), 2));
    {
        PoolGate gate;
        m_panels->answer({header, m_files.path(QStringLiteral("head.raw"))});
        m_window->menuImportaction();
        m_window.reset();
    }
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    EXPECT_EQ(texturesOfTheRamp(), 0);
}

// The hand-over itself, on a renderer of its own.
class ImportHandOverTest : public ::testing::Test {
  protected:
    ImportHandOverTest() {
        m_bed.create();
        m_record.width = m_record.height = m_record.depth = 2;
        m_record.cellspaceX = m_record.cellspaceY = m_record.cellspaceZ = 1.0f;
        m_record.data = ByteBuffer::fromByteArray(sampleBytes(ramp(8), 2));
    }

    QVRenderer& renderer() { return *m_bed.renderer; }

    RendererTestBed m_bed;
    QObject m_receiver;
    NRRDfmt m_record;
};

TEST_F(ImportHandOverTest, StoppedOrClosedHandOverLeavesTheRendererAlone) {
    ImportHandOver handOver(&m_receiver);
    std::stop_source stopped;
    stopped.request_stop();
    const std::stop_source running;
    QString reason;
    EXPECT_EQ(handOver.handOver(renderer(), m_record, stopped.get_token(), &reason),
              ImportHandOver::Outcome::Stopped);
    EXPECT_NE(renderer().volumeState().width, 2u);
    EXPECT_EQ(handOver.handOver(renderer(), m_record, running.get_token(), &reason),
              ImportHandOver::Outcome::Replaced);
    renderer().adoptPostedVolume();
    EXPECT_EQ(renderer().volumeState().width, 2u);

    handOver.close();
    m_record.width = 1;
    m_record.data = ByteBuffer::fromByteArray(sampleBytes(ramp(4), 2));
    EXPECT_EQ(handOver.handOver(renderer(), m_record, running.get_token(), &reason),
              ImportHandOver::Outcome::Stopped);
    EXPECT_EQ(renderer().volumeState().width, 2u);
}

TEST_F(ImportHandOverTest, RefusedRecordKeepsTheVolumeAndSaysWhy) {
    ImportHandOver handOver(&m_receiver);
    const std::stop_source running;
    m_record.data = ByteBuffer::fromByteArray(sampleBytes(ramp(3), 2));
    QString reason;
    EXPECT_EQ(handOver.handOver(renderer(), m_record, running.get_token(), &reason),
              ImportHandOver::Outcome::Refused);
    EXPECT_FALSE(reason.isEmpty());
    EXPECT_NE(renderer().volumeState().width, 2u);
}

TEST_F(ImportHandOverTest, PostsReachTheReceiverOnlyUntilItCloses) {
    ImportHandOver handOver(&m_receiver);
    int calls = 0;
    handOver.post([&calls] { ++calls; });
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 1);
    handOver.post([&calls] { ++calls; });
    handOver.close();
    handOver.post([&calls] { ++calls; });
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 2);
}

} // namespace
