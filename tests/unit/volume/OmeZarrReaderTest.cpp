#include "volume/zarr/OmeZarrReader.h"

#include "VolumeFileWriters.h"
#include "render/streaming/BrickBuilder.h"
#include "volume/core/VolumeFile.h"
#include "volume/zarr/DirectoryStore.h"
#include "volume/zarr/ZarrCodec.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>
#include <atomic>
#include <cmath>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <thread>

// Stores written by Debian's python3-zarr (format 2) and by the tests' own writer (format 3,
// sharded), read through the dispatch every caller shares and compared voxel by voxel.
namespace {

// The values write_zarr_store.py writes for the first time point and channel, as its dtype
// keeps them: ((i * 37) % mod + low) * mul, the first chunk all fill.
std::vector<double> expectedValues(const QJsonObject& o) {
    const QJsonArray shape = o["shape"].toArray(), chunks = o["chunks"].toArray();
    const auto at = [](const QJsonArray& a, int fromEnd) { return a[a.size() - fromEnd].toInt(); };
    const bool integer = !o["dtype"].toString().contains('f');
    std::vector<double> values;
    for (int z = 0; z < at(shape, 3); ++z)
        for (int y = 0; y < at(shape, 2); ++y)
            for (int x = 0; x < at(shape, 1); ++x) {
                const std::int64_t i = (std::int64_t{z} * at(shape, 2) + y) * at(shape, 1) + x;
                const double value =
                    double((i * 37) % o["mod"].toInt() + o["low"].toInt()) * o["mul"].toDouble(1);
                const bool first = z < at(chunks, 3) && y < at(chunks, 2) && x < at(chunks, 1);
                values.push_back(first     ? o["fill"].toDouble()
                                 : integer ? std::trunc(value)
                                           : double(float(value)));
            }
    return values;
}

struct StoreCase {
    std::string options;
    std::array<float, 3> spacing; // x, y, z
    const char* note;
};

constexpr auto kOme = R"("ome":true,"unit":"micrometer","scale":[2,0.5,0.25],"window":[10,200],)";

TEST(OmeZarrReaderTest, ReadsEveryCodecSeparatorAndSampleTypeVoxelForVoxel) {
    const std::array<float, 3> one{1, 1, 1};
    const std::array<float, 3> microns{0.00025f, 0.0005f, 0.002f};
    const std::string ome = kOme;
    const StoreCase cases[] = {
        {R"({"format":2,"codec":"blosc-lz4","sep":"/","dtype":"<u2","mod":60000,"low":0,"fill":0)", one,
         "bare array"},
        {(R"({"format":2,)" + ome +
          R"("codec":"blosc-zstd","sep":".","dtype":"<i2","mod":3000,"low":-1500,"fill":-7)"),
         microns, "downsampled by 2 x 2 x 2"},
        {R"({"format":2,"codec":"blosc-zlib","sep":".","dtype":"|u1","mod":256,"low":0,"fill":3)", one, ""},
        {R"({"format":2,"codec":"zstd","sep":"/","dtype":">i2","mod":30000,"low":-100,"fill":0,"lead":2)",
         one, ""},
        {R"({"format":2,"codec":"gzip","sep":".","dtype":"<f4","mod":999,"low":-3,"mul":0.5,"fill":2)", one,
         "float32 samples are shown in 16 bits"},
        {R"({"format":2,"codec":"none","sep":".","dtype":"|i1","mod":256,"low":-128,"fill":0)", one, ""},
        {R"({"format":2,"codec":"zlib","sep":"/","dtype":"<u4","mod":99991,"low":5,"mul":1000,"fill":0)", one,
         "shown in 16 bits"},
        {R"({"format":2,"codec":"blosc-lz4","sep":".","dtype":"<u2","mod":5000,"low":0,"fill":0,"order":"F")",
         one, ""},
        {R"({"format":3,"codec":"zstd","crc":true,"sep":"/","dtype":"<u2","mod":50000,"low":0,"fill":9)", one,
         ""},
        {(R"({"format":3,)" + ome +
          R"("codec":"gzip","sep":"/","dtype":">i2","mod":900,"low":-400,"fill":0,)" +
          R"("shard":{"shape":[4,6,8],"index":"start"})"),
         microns, "first point of its axes t"},
        {R"({"format":3,"codec":"blosc-zstd","sep":".","dtype":"<f8","mod":77,"low":0,"mul":0.25,"fill":-1.5,)"
         R"("shard":{"shape":[2,6,4],"index":"end"})",
         one, ""},
        {R"({"format":3,"codec":"none","sep":".","dtype":"<i4","mod":40000,"low":-20000,"fill":0)", one,
         "int32 samples are shown in 16 bits"},
        {R"({"format":3,"codec":"zstd","sep":"/","dtype":"<u2","mod":7000,"low":0,"fill":0,"transpose":[2,0,1],)"
         R"("shard":{"shape":[4,6,8],"index":"end"})",
         one, ""},
    };
    int number = 0;
    for (const StoreCase& c : cases) {
        SCOPED_TRACE(c.options);
        QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(c.options) + "}").object();
        // 4-D with a time axis where the case asks; chunks that do not divide the shape.
        const int lead = o["lead"].toInt(o["shard"].isObject() && o["ome"].toBool() ? 2 : 0);
        QJsonArray shape{5, 7, 9}, chunks{2, 3, 4};
        if (lead > 0) {
            shape.prepend(lead);
            chunks.prepend(1);
            if (o["shard"].isObject())
                o["shard"] = QJsonObject{{"shape", QJsonArray{2, 4, 6, 8}}, {"index", "start"}};
        }
        o["shape"] = shape;
        o["chunks"] = chunks;
        TestFolder folder;
        const QString path = folder.path(QStringLiteral("store%1.zarr").arg(++number));
        writeZarrStore(path, QJsonDocument(o).toJson(QJsonDocument::Compact));
        EXPECT_EQ(VolumeFile::detect(path), VolumeFormat::OmeZarr);
        const VolumeRecord volume = volumeOf(VolumeFile::read(path));
        EXPECT_EQ(volume.format, "ome-zarr");
        EXPECT_TRUE(volume.data.isNull()) << "level 0 is read lazily";
        EXPECT_EQ((std::array{volume.width, volume.height, volume.depth}),
                  (std::array<std::uint32_t, 3>{9, 7, 5}));
        EXPECT_EQ((std::array{volume.cellspaceX, volume.cellspaceY, volume.cellspaceZ}), c.spacing);
        EXPECT_THAT(
            valuesOf(volume),
            testing::Pointwise(testing::DoubleNear(std::fabs(volume.valueScale) / 2), expectedValues(o)));
        EXPECT_THAT(volume.notes.join(' ').toStdString(), testing::HasSubstr(c.note));
        if (o["ome"].toBool()) {
            ASSERT_TRUE(volume.fileWindow);
            EXPECT_EQ(volume.fileWindow->level, 105.0);
            EXPECT_EQ(volume.fileWindow->width, 190.0);
        }
    }
}

// Rewrites one file of a store in place.
void edit(const QString& path, const std::function<void(QByteArray&)>& change) {
    QByteArray bytes = readFile(path);
    change(bytes);
    writeFile(path, bytes);
}

TEST(OmeZarrReaderTest, RefusesHostileStoresWithTheReason) {
    const auto v2 = R"({"format":2,"codec":"blosc-lz4","sep":"/","dtype":"<u2","mod":999,"low":0,"fill":0,)"
                    R"("shape":[5,7,9],"chunks":[2,3,4])";
    const auto sharded = R"({"format":3,"codec":"zstd","sep":"/","dtype":"<u2","mod":999,"low":0,"fill":0,)"
                         R"("shape":[5,7,9],"chunks":[2,3,4],"shard":{"shape":[4,6,8],"index":"end"})";
    const auto ome =
        R"({"format":2,"ome":true,"unit":"micrometer","scale":[1,1,1],"window":[0,1],"codec":"zstd",)"
        R"("sep":".","dtype":"<u2","mod":999,"low":0,"fill":0,"shape":[5,7,9],"chunks":[2,3,4])";
    const struct {
        const char* name;
        const char* options;
        const char* file;
        std::function<void(QByteArray&)> change;
        const char* reason; // of the refused import, or of the row that cannot be read
    } cases[] = {
        {"a blosc header claiming more than the chunk", v2, "1/0/0",
         [](QByteArray& b) { qToLittleEndian<std::uint32_t>(1u << 30, b.data() + 4); },
         "says it holds 1073741824"},
        {"a shard index pointing past the end", sharded, "c/1/1/1",
         [](QByteArray& b) {
             char* index = b.data() + b.size() - 8 * 16 - 4;
             qToLittleEndian<std::uint64_t>(1000, index);
             qToLittleEndian(ZarrCodec::crc32c(index, 8 * 16), index + 8 * 16);
         },
         "ends before 1000"},
        {"a shard index with a bad checksum", sharded, "c/1/1/1", [](QByteArray& b) { b[b.size() - 1] ^= 1; },
         "checksum does not match"},
        {"a dataset path out of the store", ome, ".zattrs",
         [](QByteArray& b) { b.replace("\"path\": \"1\"", "\"path\": \"../1\""); },
         "does not lie within the store"},
        {"a huge shape", v2, ".zarray",
         [](QByteArray& b) { b.replace("\"shape\": [\n        5,", "\"shape\": [\n 1e15,"); },
         "shape is not 1 to 5"},
        {"a chunk larger than can be decoded", v2, ".zarray",
         [](QByteArray& b) {
             b.replace("\"chunks\": [\n        2,\n        3,", "\"chunks\": [\n 9000, 9000,");
         },
         "larger than the 256 MB"},
        {"a filter", v2, ".zarray",
         [](QByteArray& b) { b.replace("\"filters\": null", "\"filters\": [{\"id\": \"delta\"}]"); },
         "filter \"delta\" is not supported"},
        {"a transposition naming an axis twice", sharded, "zarr.json",
         [](QByteArray& b) {
             b.insert(b.indexOf("\"bytes\""),
                      R"("transpose", "configuration": {"order": [2, 2, 1]}}, {"name": )");
         },
         "transposition is not an order of its 3 axes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestFolder folder;
        const QString path = folder.path("hostile.zarr");
        writeZarrStore(path, QByteArray(c.options) + "}");
        edit(path + '/' + c.file, c.change);
        const ImportResult<VolumeRecord> read = VolumeFile::read(path);
        std::string reason = reasonOf(read);
        if (reason.empty()) {
            EXPECT_ANY_THROW(samplesOf(std::get<VolumeRecord>(read)));
            reason = std::get<VolumeRecord>(read).source->unreadableFile().toStdString();
        }
        EXPECT_THAT(reason, testing::HasSubstr(c.reason));
    }
}

TEST(OmeZarrReaderTest, KeysLeadingOutOfTheFolderAreRefused) {
    TestFolder folder;
    QDir(folder.path("store")).mkpath(".");
    writeFile(folder.path("outside"), "secret");
    QFile::link(folder.path("outside"), folder.path("store/inside"));
    const DirectoryStore store(folder.path("store"));
    for (const char* key : {"../outside", "/etc/passwd", "inside", "a//b", "http://host/x", "./inside"})
        EXPECT_TRUE(std::holds_alternative<QString>(store.read(QString::fromLatin1(key), 100))) << key;
    EXPECT_TRUE(std::holds_alternative<ChunkStore::Missing>(store.read("absent", 100)));
}

// Counts how often each key's bytes are read, to see that chunks are decoded once.
class CountingStore final : public ChunkStore {
  public:
    explicit CountingStore(const QString& folder) : m_folder(folder) {}
    Bytes read(const QString& key, std::uint64_t maxBytes) const override {
        const std::lock_guard lock(m_mutex);
        ++reads[key];
        return m_folder.read(key, maxBytes);
    }
    Bytes readRange(const QString& key, Range range) const override { return m_folder.readRange(key, range); }
    QString displayName() const override { return m_folder.displayName(); }
    mutable std::map<QString, int> reads;

  private:
    DirectoryStore m_folder;
    mutable std::mutex m_mutex;
};

TEST(OmeZarrReaderTest, WorkersReadingAtOnceDecodeEachChunkOnce) {
    TestFolder folder;
    const QByteArray options =
        R"({"format":2,"codec":"zstd","sep":".","dtype":"<u2","mod":999,"low":0,"fill":0,)"
        R"("shape":[8,32,32],"chunks":[8,16,16]})";
    writeZarrStore(folder.path("s.zarr"), options);
    const auto store = std::make_shared<CountingStore>(folder.path("s.zarr"));
    const VolumeRecord volume = volumeOf(OmeZarrReader::read(store, {}, {}));
    const std::vector<double> expected = expectedValues(QJsonDocument::fromJson(options).object());
    std::atomic<int> wrong = 0;
    std::vector<std::thread> workers;
    for (int worker = 0; worker < 8; ++worker)
        workers.emplace_back([&] {
            std::vector<std::uint16_t> row(32);
            for (std::uint64_t i = 0; i < 8 * 32; ++i) {
                if (!volume.source->readRow(0, i % 32, i / 32, 32, row.data()))
                    ++wrong;
                for (std::uint64_t x = 0; x < 32; ++x)
                    wrong += row[x] != expected[i * 32 + x];
            }
        });
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(wrong, 0);
    for (const char* chunk : {"0.0.1", "0.1.0", "0.1.1"})
        EXPECT_EQ(store->reads[QString::fromLatin1(chunk)], 1) << chunk;
}

// The pool's bricks of a store's level 1: taken from the store from the first of the pool's
// levels as coarse as it along every axis (a level downsampled in x and y alone, its slices
// averaged in pairs; one downsampled by 3, the store's voxel under each centre, from the pool's
// level 2), else the means of level 0 (the same source, its coarse level hidden); a level no
// coarser than level 0 is not taken.
class LevelZeroOnly final : public VolumeSource {
  public:
    explicit LevelZeroOnly(const VolumeSource& source) : m_source(source) {}
    bool readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                 std::uint16_t* out) const override {
        return m_source.readRow(x, y, z, count, out);
    }

  private:
    const VolumeSource& m_source;
};

TEST(OmeZarrReaderTest, CoarseBricksComeFromTheStoresOwnLevelWhereItHalvesOrKeepsEachAxis) {
    constexpr std::uint16_t kMarker = 4321; // never a mean of samples below 999
    const std::string common =
        R"("ome":true,"unit":"micrometer","scale":[1,1,1],"window":[0,999],"codec":"zstd","sep":"/",)"
        R"("dtype":"<u2","mod":999,"low":0,"fill":0,"marker":4321,"chunks":[8,8,8],)";
    constexpr std::uint32_t kNever = 3;
    const struct {
        std::string options;
        std::uint32_t storeFrom; // the pool's first level read from the store's level 1
    } cases[] = {
        {R"({"format":2,)" + common + R"("shape":[20,24,32]})", 1},
        {R"({"format":3,"floor":true,)" + common + R"("shape":[21,23,33]})", 1}, // odd axes rounded down
        {R"({"format":2,"steps":[1,2,2],"ramp":true,)" + common + R"("shape":[21,24,32]})", 1}, // z kept
        // Without voxel sizes, the levels' shapes tell how they halve.
        {R"({"format":2,"steps":[1,2,2],"ramp":true,"v03":true,)" + common + R"("shape":[21,24,32]})", 1},
        {R"({"format":2,"steps":[3,3,3],)" + common + R"("shape":[20,24,32]})", 2},
        {R"({"format":2,"steps":[2,3,3],)" + common + R"("shape":[20,24,32]})", 2},
        {R"({"format":2,"steps":[3,2,2],"ramp":true,)" + common + R"("shape":[22,24,32]})", 2},
        {R"({"format":2,"steps":[1,1,1],)" + common + R"("shape":[20,24,32]})", kNever},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        TestFolder folder;
        writeZarrStore(folder.path("s.zarr"), QByteArray::fromStdString(c.options));
        const VolumeRecord volume = volumeOf(VolumeFile::read(folder.path("s.zarr")));
        ASSERT_EQ(volume.source->storedLevels(), c.storeFrom == kNever ? 0u : 1u);
        const std::array<std::uint64_t, 3> size{volume.width, volume.height, volume.depth};
        const BrickLayout layout(size, 8);
        const LevelZeroOnly means(*volume.source);
        // Level 2, which the store lacks, is averaged from its level 1 where it holds one.
        for (std::uint32_t level = 1; level <= 2; ++level) {
            for (std::uint64_t index = 0; index < layout.brickCount(level); ++index) {
                const BrickKey key = layout.key(level, index);
                const std::optional<BrickTexels> brick = buildBrick(*volume.source, layout, size, key);
                const std::optional<BrickTexels> mean = buildBrick(means, layout, size, key);
                ASSERT_TRUE(brick && mean);
                if (level < c.storeFrom) {
                    EXPECT_EQ(brick->texels, mean->texels) << level << " " << index;
                } else if (c.options.find("ramp") != std::string::npos) {
                    // The store's level 1 holds the marker plus z in every slice; a texel of
                    // the pool's level n is the mean of its two slices nearest the centre of
                    // the 2^n it covers, rounded up; of a level downsampled by 3 along z, the
                    // slice under that centre.
                    const bool byThree = c.options.find("[3,") != std::string::npos;
                    const std::uint64_t storeDepth = (volume.depth + 2) / 3;
                    const std::uint64_t span = std::uint64_t{1} << level;
                    const std::uint64_t slot = layout.slotSide();
                    for (std::uint64_t z = 0; z < slot; ++z) {
                        const std::int64_t voxel =
                            static_cast<std::int64_t>(key.brick[2] * layout.brickSide() + z) -
                            BrickLayout::kBorder;
                        const auto v = static_cast<std::uint64_t>(std::clamp<std::int64_t>(
                            voxel, 0, static_cast<std::int64_t>(layout.voxels(level)[2]) - 1));
                        const std::uint64_t second =
                            std::min<std::uint64_t>(v * span + span / 2, volume.depth - 1);
                        const std::uint64_t first =
                            std::min<std::uint64_t>(v * span + span / 2 - 1, volume.depth - 1);
                        const std::uint64_t under = std::min((2 * v + 1) * span / 6, storeDepth - 1);
                        const auto expected = static_cast<std::uint16_t>(
                            kMarker + (byThree ? under : (first + second + 1) / 2));
                        EXPECT_EQ(brick->texels[z * slot * slot + slot * slot / 2], expected)
                            << level << " " << index << " z " << z;
                    }
                } else {
                    EXPECT_THAT(brick->texels, testing::Each(kMarker)) << level << " " << index;
                }
            }
        }
    }
}

} // namespace
