#include "volume/http/HttpStore.h"

#include "LocalNginx.h"
#include "VolumeFileWriters.h"
#include "volume/core/VolumeFile.h"
#include "volume/http/AbsenceLifetime.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <thread>

namespace {

using Bytes = ChunkStore::Bytes;
using Read = std::function<Bytes(const HttpStore&)>;
using Cases = std::vector<std::tuple<std::string, Read, Bytes>>;

// The bytes the misbehaving server sends; the files nginx serves are made the same way.
QByteArray patterned(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7) % 251);
    return bytes;
}
const QByteArray kValue = patterned(4096);

Read whole(const char* key, std::uint64_t bound) {
    return [=](const HttpStore& store) { return store.read(QString::fromLatin1(key), bound); };
}
Read range(const char* key, std::int64_t offset, std::uint64_t length) {
    return [=](const HttpStore& store) {
        return store.readRange(QString::fromLatin1(key), {offset, length});
    };
}

// Each case's read gives its value, Missing, or a refusal whose reason holds the words
// given; `threads` worker threads read them all at once, as the brick loader does.
void expectReads(const HttpStore& store, const Cases& cases, int threads = 1) {
    const auto check = [&] {
        for (const auto& [what, read, want] : cases) {
            const Bytes got = read(store);
            const QString why = got.index() == 2 ? std::get<QString>(got) : QString();
            const bool right = got.index() == want.index() &&
                               (want.index() == 1 ||
                                (want.index() == 0 ? std::get<QByteArray>(got) == std::get<QByteArray>(want)
                                                   : why.contains(std::get<QString>(want))));
            EXPECT_TRUE(right) << what << ": " << why.toStdString();
        }
    };
    std::vector<std::thread> workers(threads);
    for (std::thread& worker : workers)
        worker = std::thread(check);
    for (std::thread& worker : workers)
        worker.join();
}

std::shared_ptr<HttpStore> openStore(const QString& url, std::shared_ptr<ChunkCache> cache = nullptr) {
    HttpStore::Options options{{std::chrono::milliseconds(1000), std::chrono::seconds(1)},
                               2,
                               std::chrono::milliseconds(10),
                               std::move(cache)};
    return std::get<std::shared_ptr<HttpStore>>(HttpStore::open(url, std::move(options)));
}

class HttpStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (LocalNginx::binary().isEmpty())
            GTEST_SKIP() << "nginx is not installed (Debian's nginx-light runs these tests)";
        serve("data.bin", kValue);
        ASSERT_TRUE(nginx.start());
    }
    void serve(const QString& key, const QByteArray& value) {
        QDir(nginx.root()).mkpath(QStringLiteral("store"));
        QFile file(nginx.root() + QStringLiteral("/store/") + key);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(value) == value.size());
    }
    qsizetype answered(const char* request) const {
        return nginx.requests().filter(QRegularExpression(QStringLiteral("^%1 ").arg(request))).size();
    }

    LocalNginx nginx;
};

TEST_F(HttpStoreTest, WorkersReadValuesWholeAndInRangesWithinTheirBounds) {
    const Cases cases = {
        {"whole", whole("data.bin", 4096), kValue},
        {"range", range("data.bin", 1000, 500), kValue.mid(1000, 500)},
        {"suffix range", range("data.bin", -300, 0), kValue.right(300)},
        {"absent key", whole("absent.bin", 100), ChunkStore::Missing{}},
        {"value over the bound", whole("data.bin", 4095), QStringLiteral("larger than the 4095 bytes")},
        {"range past the end", range("data.bin", 4000, 200), QStringLiteral("/store/data.bin: ")},
        {"key outside the store", whole("../data.bin", 4096), QStringLiteral("outside")},
    };
    expectReads(*openStore(nginx.url() + QStringLiteral("/store/")), cases, 4);
}

TEST_F(HttpStoreTest, CacheRevalidatesAndEvictsTheLeastRecentlyUsedAndKeepsCredentialsUnseen) {
    QTemporaryDir cacheFolder;
    QString url = nginx.url().replace(QStringLiteral("//"), QStringLiteral("//reader:s3cret@")) + "/store";
    const auto store = openStore(url, std::make_shared<ChunkCache>(cacheFolder.path(), 6000));
    expectReads(*store, {{"first read", whole("data.bin", 4096), kValue},
                         {"again", whole("data.bin", 4096), kValue}});
    EXPECT_EQ(answered("304 /store/data.bin"), 1);

    // A value that changed on the server is read again, not served stale.
    serve(QStringLiteral("data.bin"), patterned(3000));
    expectReads(*store, {{"changed value", whole("data.bin", 4096), patterned(3000)}});
    EXPECT_EQ(answered("200 /store/data.bin"), 2);

    // 3000 + 4096 bytes exceed the budget: the older value goes, the newer stays.
    serve(QStringLiteral("other.bin"), kValue);
    expectReads(*store, {{"other value", whole("other.bin", 4096), kValue},
                         {"other value again", whole("other.bin", 4096), kValue},
                         {"evicted value", whole("data.bin", 4096), patterned(3000)}});
    EXPECT_EQ(answered("304 /store/other.bin"), 1);
    EXPECT_EQ(answered("200 /store/data.bin"), 3);

    QStringList shown = {store->displayName(), std::get<QString>(store->read(QStringLiteral("data.bin"), 10)),
                         HttpLocation::withoutCredentials(QStringLiteral("http://reader:s3cret@[bad/store"))};
    for (QDirIterator it(cacheFolder.path(), QDir::Files); it.hasNext();) {
        QFile file(it.next());
        shown << file.fileName() << QString::fromLatin1(file.open(QIODevice::ReadOnly) ? file.readAll() : "");
    }
    EXPECT_EQ(shown.size(), 5);
    for (const QString& text : shown)
        EXPECT_FALSE(text.contains(QStringLiteral("s3cret"))) << text.toStdString();
}

// Pieces that lie end to end or close together (a shard's chunks under one brick) cost one
// request, one far from them another, and each is kept as read alone, so that it is found
// again however it is asked for next time.
TEST_F(HttpStoreTest, PiecesCloseTogetherComeInOneRequestAndAreKeptEachOnItsOwn) {
    QTemporaryDir cacheFolder;
    const auto store = openStore(nginx.url() + QStringLiteral("/store"),
                                 std::make_shared<ChunkCache>(cacheFolder.path(), 1 << 20));
    const std::vector<ChunkStore::Range> pieces = {
        {300, 200}, {100, 200}, {2000, 50}, {500, 100}, {700, 100}};
    const auto readAll = [&] {
        const std::vector<Bytes> read = store->readRanges(QStringLiteral("data.bin"), pieces);
        ASSERT_EQ(read.size(), pieces.size());
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            ASSERT_EQ(read[i].index(), 0u) << i;
            EXPECT_EQ(std::get<QByteArray>(read[i]), kValue.mid(static_cast<qsizetype>(pieces[i].offset),
                                                                static_cast<qsizetype>(pieces[i].length)))
                << i;
        }
    };
    readAll();
    EXPECT_EQ(answered("206 /store/data.bin"), 2);
    expectReads(*store, {{"a piece alone", range("data.bin", 300, 200), kValue.mid(300, 200)}});
    readAll();
    EXPECT_EQ(answered("304 /store/data.bin"), 3);
    EXPECT_EQ(answered("206 /store/data.bin"), 2);
}

// A chunk never written is asked for once, then taken as missing on later opens for as long as
// the server says or, where it says nothing, for a tenth of the age of the array's metadata;
// never once the metadata changed.
TEST_F(HttpStoreTest, MissingChunksAreAskedForAgainOnlyOnceTheirAbsenceMayHaveChanged) {
    using namespace std::chrono_literals;
    struct Case {
        const char* what;
        const char* folder;
        std::chrono::seconds metadataAge;
        bool rewrittenBetween;
        std::chrono::milliseconds pause;
        int askedForAgain;
    };
    const Case cases[] = {
        {"written a day ago", "old", 24h, false, 0ms, 0},
        {"being written now", "new", 0s, false, 0ms, 1},
        {"metadata rewritten between the opens", "rewritten", 24h, true, 0ms, 1},
        {"the server keeps it", "kept/new", 0s, false, 0ms, 0},
        {"the server's lifetime passed", "brief/old", 24h, false, 2100ms, 1},
        {"the server forbids keeping", "unkept/old", 24h, false, 0ms, 1},
    };
    QTemporaryDir cacheFolder;
    const auto cache = std::make_shared<ChunkCache>(cacheFolder.path(), 1 << 20);
    const auto writeMetadata = [&](const QString& folder, std::chrono::seconds age, const QByteArray& text) {
        QDir(nginx.root()).mkpath(folder);
        QFile file(nginx.root() + QLatin1Char('/') + folder + QStringLiteral("/.zarray"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        file.flush();
        file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-age.count()),
                         QFileDevice::FileModificationTime);
    };
    const auto open = [&](const QString& folder) {
        const auto store = openStore(nginx.url(), cache);
        expectReads(
            *store,
            {{"metadata", whole(qPrintable(folder + QStringLiteral("/.zarray")), 100), QByteArray("{}")},
             {"absent metadata", whole(qPrintable(folder + QStringLiteral("/zarr.json")), 100),
              ChunkStore::Missing{}},
             {"never-written chunk", whole(qPrintable(folder + QStringLiteral("/0.0.1")), 100),
              ChunkStore::Missing{}}});
    };
    for (const Case& c : cases) {
        const QString folder = QString::fromLatin1(c.folder);
        writeMetadata(folder, c.metadataAge, "{}");
        open(folder);
        if (c.rewrittenBetween)
            writeMetadata(folder, c.metadataAge / 2, "{}");
        std::this_thread::sleep_for(c.pause);
        open(folder);
        EXPECT_EQ(answered(qPrintable(QStringLiteral("40[34] /%1/0.0.1").arg(folder))), 1 + c.askedForAgain)
            << c.what;
        // A store's metadata is asked for on every open.
        EXPECT_EQ(answered(qPrintable(QStringLiteral("40[34] /%1/zarr.json").arg(folder))), 2) << c.what;
    }
}

TEST(AbsenceLifetimeTest, TheServersWordsAndTheHeuristicGiveHowLongAnAbsenceHolds) {
    using Seconds = AbsenceLifetime::Seconds;
    const QByteArray date = "Tue, 08 Dec 2026 10:00:00 GMT";
    const std::tuple<const char*, QByteArray, QByteArray, std::optional<Seconds>> stated[] = {
        {"nothing said", {}, {}, std::nullopt},
        {"max-age among other directives", "public, Max-Age=120", {}, Seconds{120}},
        {"max-age before Expires", "max-age=5", "Tue, 08 Dec 2026 11:00:00 GMT", Seconds{5}},
        {"no-cache", "max-age=600, no-cache", {}, Seconds{0}},
        {"a max-age that is not a number", "max-age=soon", {}, Seconds{0}},
        {"a year is held a week", "max-age=31536000", {}, AbsenceLifetime::kLongestStated},
        {"Expires an hour after the Date", {}, "Tuesday, 08-Dec-26 11:00:00 GMT", Seconds{3600}},
        {"Expires before the Date", {}, "Tue, 08 Dec 2026 09:00:00 GMT", Seconds{0}},
        {"Expires that does not parse", {}, "0", Seconds{0}},
    };
    for (const auto& [what, cacheControl, expires, want] : stated)
        EXPECT_EQ(AbsenceLifetime::stated(cacheControl, expires, date), want) << what;
    EXPECT_EQ(AbsenceLifetime::heuristic(date, "Tue, 08 Dec 2026 09:00:00 GMT"), Seconds{360});
    EXPECT_EQ(AbsenceLifetime::heuristic(date, "Sun, 08 Nov 2026 10:00:00 GMT"),
              AbsenceLifetime::kLongestHeuristic);
    EXPECT_EQ(AbsenceLifetime::heuristic(date, "Tue, 08 Dec 2026 10:00:05 GMT"), Seconds{0});
    EXPECT_EQ(AbsenceLifetime::heuristic(date, {}), Seconds{0});
}

// A budget of nothing (the user's --cache-budget 0) writes no file, a value's or a missing key's.
TEST(ChunkCacheTest, ABudgetOfNothingKeepsNothing) {
    QTemporaryDir folder;
    ChunkCache cache(folder.path(), 0);
    cache.store(QStringLiteral("value"), {QByteArray("v"), QByteArray("\"e\""), QByteArray(), false, {}});
    cache.store(QStringLiteral("missing"), {QByteArray(), QByteArray("\"e\""), QByteArray(), true,
                                            QDateTime::currentDateTimeUtc().addSecs(60)});
    EXPECT_TRUE(QDir(folder.path()).entryList(QDir::Files).isEmpty());
    EXPECT_FALSE(cache.find(QStringLiteral("missing"), 0));
}

TEST_F(HttpStoreTest, AStoreOnTheServerOpensWithTheVoxelsOfItsFolder) {
    const QString folder = nginx.root() + QStringLiteral("/image.zarr");
    writeZarrStore(folder,
                   R"({"format":3,"ome":true,"unit":"micrometer","scale":[1,1,1],"window":[0,1],)"
                   R"("codec":"zstd","sep":"/","dtype":"<i2","mod":900,"low":-400,"fill":0,"shape":[5,7,9],)"
                   R"("chunks":[2,3,4],"shard":{"shape":[4,6,8],"index":"end"}})");
    QTemporaryDir cacheFolder;
    ImportOptions options;
    options.chunkCacheFolder = cacheFolder.path();
    const ImportResult<VolumeRecord> local = VolumeFile::read(folder, options);
    const ImportResult<VolumeRecord> web =
        VolumeFile::read(nginx.url() + QStringLiteral("/image.zarr"), options);
    ASSERT_EQ(web.index(), 0u) << std::get<ImportRefusal>(web).reason.toStdString();
    ASSERT_EQ(local.index(), 0u);
    EXPECT_EQ(samplesOf(std::get<VolumeRecord>(web)), samplesOf(std::get<VolumeRecord>(local)));
    EXPECT_EQ(std::get<VolumeRecord>(web).sampleOffset, std::get<VolumeRecord>(local).sampleOffset);

    // Read as the brick loader reads, a slice's rows at once and nothing cached: the chunks
    // of a shard under those rows come in one request, besides each shard's index.
    options.chunkCacheBytes = 0;
    const VolumeRecord again =
        volumeOf(VolumeFile::read(nginx.url() + QStringLiteral("/image.zarr"), options));
    const qsizetype before = answered("206");
    std::vector<int> samples;
    std::vector<std::uint16_t> slice(again.width * again.height);
    for (std::uint32_t z = 0; z < again.depth; ++z) {
        ASSERT_TRUE(again.source->readRows(0, 0, z, again.width, again.height, slice.data()));
        for (const std::uint16_t texel : slice)
            samples.push_back(texel + again.sampleOffset);
    }
    EXPECT_EQ(samples, samplesOf(std::get<VolumeRecord>(local)));
    // 8 shards' indexes, and 4 shards across each of the 3 layers of chunks along z.
    EXPECT_LE(answered("206") - before, 8 + 4 * 3);
}

TEST(HttpStoreFaultsTest, RetriesWhatMayPassAndRefusesWhatTheServerGetsWrong) {
    QProcess server;
    server.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(VOXVIEW_MISBEHAVING_SERVER)});
    ASSERT_TRUE(server.waitForReadyRead(10000)) << "python3 could not start the misbehaving server";
    const int port = server.readLine().trimmed().toInt();
    const auto store = openStore(QStringLiteral("http://127.0.0.1:%1").arg(port));
    const Cases cases = {
        {"500, then the value", whole("flaky", 4096), kValue},
        {"stalled", whole("stall", 4096), QStringLiteral("stopped answering (tried 2 times)")},
        {"connection reset", whole("reset", 4096), QStringLiteral("(tried 2 times)")},
        {"body cut short", whole("short", 4096), QStringLiteral("(tried 2 times)")},
        {"more than the range", range("oversize", 0, 16), QStringLiteral("more than the 16 bytes asked for")},
        {"more than the bound", whole("oversize", 100), QStringLiteral("larger than the 100 bytes")},
        {"redirect to a file", whole("to-file", 4096), QStringLiteral("neither http nor https")},
        {"hidden key", whole("hidden", 4096), ChunkStore::Missing{}},
        {"range ignored", range("no-ranges", 100, 16), kValue.mid(100, 16)},
        {"suffix range ignored", range("no-ranges", -16, 0), kValue.right(16)},
        {"requests of the 500", whole("count/flaky", 16), QByteArray("2")},
    };
    expectReads(*store, cases);
    // A 403 is never kept as missing, whatever lifetime it comes with: the credential that
    // drew it may be renewed.
    QTemporaryDir cacheFolder;
    const auto cached = openStore(QStringLiteral("http://127.0.0.1:%1").arg(port),
                                  std::make_shared<ChunkCache>(cacheFolder.path(), 1 << 20));
    expectReads(*cached, {{"hidden key", whole("hidden", 4096), ChunkStore::Missing{}},
                          {"hidden key again", whole("hidden", 4096), ChunkStore::Missing{}},
                          {"requests of the 403", whole("count/hidden", 16), QByteArray("3")}});
    server.kill();
    server.waitForFinished();
}

} // namespace
