#include "NrrdTestFiles.h"
#include "NrrdVolumeReader.h"

#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

// Files written by teem's `unu` (Debian ships it as teem-unu): the import must read
// what an independent writer produces, attached or detached, raw or gzip, in either
// byte order, and refuse the types it cannot show.
namespace {

const std::vector<int> kSamples = {-1000, -1, 0,  1, 32767, -32768, -1024, 3071, 12, -12, 400, 2000,
                                   -3,    3,  -4, 4, -5,    5,      -6,    6,    -7, 7,   -8,  8};

class NrrdUnuTest : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"unu", "teem-unu"}) {
            m_unu = QStandardPaths::findExecutable(QString::fromLatin1(name));
            if (!m_unu.isEmpty())
                break;
        }
        if (m_unu.isEmpty())
            GTEST_SKIP() << "unu (teem-apps) is not installed";
        m_files.write("samples.raw", sampleBytes(kSamples, 2));
        // The volume every case starts from: 4 x 3 x 2 signed samples, spacing 0.5 0.5 2.
        unu({"make", "-i", "samples.raw", "-t", "short", "-s", "4", "3", "2", "-e", "raw", "-en", "little",
             "-sp", "0.5", "0.5", "2", "-o", "base.nrrd"});
    }

    void unu(const QStringList& arguments) {
        QProcess process;
        process.setWorkingDirectory(m_files.dir().path());
        process.start(m_unu, arguments);
        ASSERT_TRUE(process.waitForFinished());
        ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    }

    NrrdResult<NRRDfmt> import(const QString& name) {
        const NrrdResult<NrrdVolumeReader> reader = NrrdVolumeReader::open(m_files.path(name));
        if (const auto* refusal = std::get_if<NrrdRefusal>(&reader))
            return *refusal;
        return std::get<NrrdVolumeReader>(reader).readVolume(NrrdDataChoice::fromHeader());
    }

    QString m_unu;
    NrrdTestFiles m_files;
};

struct UnuCase {
    const char* name;
    QStringList arguments;
    const char* output;
    const char* reason = ""; // part of the reason for a refused file
};

TEST_F(NrrdUnuTest, ReadsWhatUnuWrites) {
    const UnuCase cases[] = {
        {"attached raw", {"save", "-f", "nrrd", "-e", "raw", "-i", "base.nrrd", "-o", "a.nrrd"}, "a.nrrd"},
        {"attached gzip", {"save", "-f", "nrrd", "-e", "gzip", "-i", "base.nrrd", "-o", "b.nrrd"}, "b.nrrd"},
        {"attached big endian",
         {"save", "-f", "nrrd", "-e", "raw", "-en", "big", "-i", "base.nrrd", "-o", "c.nrrd"},
         "c.nrrd"},
        {"detached gzip big endian",
         {"save", "-f", "nrrd", "-e", "gzip", "-en", "big", "-i", "base.nrrd", "-o", "d.nhdr"},
         "d.nhdr"},
        {"detached raw", {"save", "-f", "nrrd", "-e", "raw", "-i", "base.nrrd", "-o", "e.nhdr"}, "e.nhdr"},
        {"attached bzip2",
         {"save", "-f", "nrrd", "-e", "bzip2", "-i", "base.nrrd", "-o", "f.nrrd"},
         "f.nrrd"},
        {"attached ascii",
         {"save", "-f", "nrrd", "-e", "ascii", "-i", "base.nrrd", "-o", "g.nrrd"},
         "g.nrrd"},
        {"detached hex", {"save", "-f", "nrrd", "-e", "hex", "-i", "base.nrrd", "-o", "h.nhdr"}, "h.nhdr"},
        {"float samples", {"convert", "-t", "float", "-i", "base.nrrd", "-o", "i.nrrd"}, "i.nrrd"},
        {"int samples", {"convert", "-t", "int", "-i", "base.nrrd", "-o", "j.nrrd"}, "j.nrrd"},
        {"double samples", {"convert", "-t", "double", "-i", "base.nrrd", "-o", "k.nrrd"}, "k.nrrd"},
        {"double samples, bzip2, big endian",
         {"save", "-f", "nrrd", "-e", "bzip2", "-en", "big", "-i", "k.nrrd", "-o", "l.nrrd"},
         "l.nrrd"},
    };
    for (const UnuCase& c : cases) {
        SCOPED_TRACE(c.name);
        unu(c.arguments);
        const NrrdResult<NRRDfmt> result = import(c.output);
        ASSERT_TRUE(std::holds_alternative<NRRDfmt>(result))
            << std::get<NrrdRefusal>(result).reason.toStdString();
        const NRRDfmt& volume = std::get<NRRDfmt>(result);
        EXPECT_EQ(volume.width, 4u);
        EXPECT_EQ(volume.height, 3u);
        EXPECT_EQ(volume.depth, 2u);
        EXPECT_FLOAT_EQ(volume.cellspaceX, 0.5f);
        EXPECT_FLOAT_EQ(volume.cellspaceZ, 2.0f);
        EXPECT_EQ(samplesOf(volume), kSamples);
    }
}

TEST_F(NrrdUnuTest, ReadsNegativeDirectionsOfADetachedHeader) {
    unu({"make", "-h",      "-i",   "samples.raw", "-t",    "short",
         "-s",   "4",       "3",    "2",           "-e",    "raw",
         "-en",  "little",  "-spc", "RAS",         "-dirs", "(-0.5,0,0) (0,-0.75,0) (0,0,2.5)",
         "-o",   "ras.nhdr"});
    const NRRDfmt volume = std::get<NRRDfmt>(import("ras.nhdr"));
    EXPECT_FLOAT_EQ(volume.cellspaceX, 0.5f);
    EXPECT_FLOAT_EQ(volume.cellspaceY, 0.75f);
    EXPECT_FLOAT_EQ(volume.cellspaceZ, 2.5f);
    EXPECT_EQ(samplesOf(volume), kSamples);
}

TEST_F(NrrdUnuTest, RefusesWhatUnuWritesBeyondVolumes) {
    const UnuCase cases[] = {
        {"four dimensions",
         {"axinsert", "-a", "0", "-i", "base.nrrd", "-o", "four.nrrd"},
         "four.nrrd",
         "4 dimensions"},
    };
    for (const UnuCase& c : cases) {
        SCOPED_TRACE(c.name);
        unu(c.arguments);
        const NrrdResult<NRRDfmt> result = import(c.output);
        ASSERT_TRUE(std::holds_alternative<NrrdRefusal>(result));
        EXPECT_TRUE(std::get<NrrdRefusal>(result).reason.contains(QString::fromUtf8(c.reason)))
            << std::get<NrrdRefusal>(result).reason.toStdString();
    }
}

} // namespace
