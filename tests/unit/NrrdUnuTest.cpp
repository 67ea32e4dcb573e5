#include "VolumeFileWriters.h"

#include <QProcess>
#include <QStandardPaths>
#include <array>
#include <gtest/gtest.h>

// Files written by teem's `unu` (Debian ships it as teem-unu): the import must read
// what an independent writer produces, attached or detached, raw or gzip, in either
// byte order.
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

    QString m_unu;
    TestFolder m_files;
};

struct UnuCase {
    const char* name;
    QStringList arguments;
    const char* output;
    std::array<float, 3> spacing = {0.5f, 0.5f, 2.0f};
};

TEST_F(NrrdUnuTest, ReadsWhatUnuWrites) {
    const auto save = [](const char* encoding, const char* endian, const char* output) {
        return QStringList{"save", "-f", "nrrd",      "-e", encoding, "-en",
                           endian, "-i", "base.nrrd", "-o", output};
    };
    const UnuCase cases[] = {
        {"attached raw", save("raw", "little", "a.nrrd"), "a.nrrd"},
        {"attached gzip", save("gzip", "little", "b.nrrd"), "b.nrrd"},
        {"attached big endian", save("raw", "big", "c.nrrd"), "c.nrrd"},
        {"detached gzip big endian", save("gzip", "big", "d.nhdr"), "d.nhdr"},
        {"detached raw", save("raw", "little", "e.nhdr"), "e.nhdr"},
        {"attached bzip2", save("bzip2", "little", "f.nrrd"), "f.nrrd"},
        {"attached ascii", save("ascii", "little", "g.nrrd"), "g.nrrd"},
        {"detached hex", save("hex", "little", "h.nhdr"), "h.nhdr"},
        {"float samples", {"convert", "-t", "float", "-i", "base.nrrd", "-o", "i.nrrd"}, "i.nrrd"},
        {"int samples", {"convert", "-t", "int", "-i", "base.nrrd", "-o", "j.nrrd"}, "j.nrrd"},
        {"double samples", {"convert", "-t", "double", "-i", "base.nrrd", "-o", "k.nrrd"}, "k.nrrd"},
        {"double samples, bzip2, big endian",
         {"save", "-f", "nrrd", "-e", "bzip2", "-en", "big", "-i", "k.nrrd", "-o", "l.nrrd"},
         "l.nrrd"},
        {"detached header with negative directions",
         {"make", "-h",      "-i",   "samples.raw", "-t",    "short",
          "-s",   "4",       "3",    "2",           "-e",    "raw",
          "-en",  "little",  "-spc", "RAS",         "-dirs", "(-0.5,0,0) (0,-0.75,0) (0,0,2.5)",
          "-o",   "ras.nhdr"},
         "ras.nhdr",
         {0.5f, 0.75f, 2.5f}},
    };
    for (const UnuCase& c : cases) {
        SCOPED_TRACE(c.name);
        unu(c.arguments);
        const NrrdResult<NRRDfmt> result = readNrrd(m_files.path(c.output));
        ASSERT_EQ(reasonOf(result), "");
        const NRRDfmt& volume = std::get<NRRDfmt>(result);
        EXPECT_EQ(std::tuple(volume.width, volume.height, volume.depth), std::tuple(4u, 3u, 2u));
        EXPECT_EQ((std::array{volume.cellspaceX, volume.cellspaceY, volume.cellspaceZ}), c.spacing);
        EXPECT_EQ(samplesOf(volume), kSamples);
    }
}

} // namespace
