#include "ByteBuffer.h"

#include <QFile>
#include <QTemporaryDir>
#include <cstring>
#include <gtest/gtest.h>

namespace {

QByteArray bytesOf(const ByteBuffer& buffer) {
    return QByteArray(reinterpret_cast<const char*>(buffer.data()), static_cast<qsizetype>(buffer.size()));
}

// Resident pages of mapped files, in KiB, as the kernel counts them for this process.
long residentFileKib() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("RssFile:")) {
            return line.mid(8).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
}

std::uint64_t touchEveryPage(const ByteBuffer& buffer) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < buffer.size(); i += 512) {
        sum += static_cast<unsigned char>(buffer.data()[i]);
    }
    return sum;
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& contents) {
    QFile file(dir.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(contents);
    return file.fileName();
}

TEST(ByteBuffer, DefaultIsNullAndEmptyArrayIsNot) {
    EXPECT_TRUE(ByteBuffer().isNull());
    EXPECT_EQ(ByteBuffer().size(), 0u);
    const ByteBuffer empty = ByteBuffer::fromByteArray(QByteArray());
    EXPECT_FALSE(empty.isNull());
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_TRUE(ByteBuffer().slice(0, 10).isNull());
}

TEST(ByteBuffer, SliceIsClampedToTheBuffer) {
    const ByteBuffer buffer = ByteBuffer::fromByteArray("0123456789");
    struct Case {
        std::size_t offset, length;
        const char* expected;
    } cases[] = {{0, 10, "0123456789"}, {2, 3, "234"}, {8, 100, "89"}, {10, 1, ""}, {50, 5, ""}, {0, 0, ""}};
    for (const Case& c : cases) {
        const ByteBuffer part = buffer.slice(c.offset, c.length);
        EXPECT_FALSE(part.isNull());
        EXPECT_EQ(bytesOf(part), QByteArray(c.expected)) << c.offset << "+" << c.length;
    }
}

TEST(ByteBuffer, SliceKeepsTheStorageAliveAfterTheBufferIsGone) {
    ByteBuffer part;
    {
        const ByteBuffer buffer = ByteBuffer::fromByteArray(QByteArray(1000, 'v') + "tail");
        part = buffer.slice(1000, 4);
    }
    EXPECT_EQ(bytesOf(part), QByteArray("tail"));
}

TEST(ByteBuffer, MapAndReadGiveTheFileBytes) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QByteArray contents(70000, '\0');
    for (int i = 0; i < contents.size(); ++i)
        contents[i] = static_cast<char>(i * 7);
    const QString path = writeFile(dir, "volume.raw", contents);
    EXPECT_EQ(bytesOf(ByteBuffer::mapFile(path)), contents);
    EXPECT_EQ(bytesOf(ByteBuffer::readFile(path)), contents);

    const ByteBuffer emptyMap = ByteBuffer::mapFile(writeFile(dir, "empty.raw", {}));
    EXPECT_FALSE(emptyMap.isNull());
    EXPECT_EQ(emptyMap.size(), 0u);
}

TEST(ByteBuffer, MissingFileIsNullWithAReason) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const bool map : {true, false}) {
        QString reason;
        const QString path = dir.filePath("absent.raw");
        const ByteBuffer buffer =
            map ? ByteBuffer::mapFile(path, &reason) : ByteBuffer::readFile(path, &reason);
        EXPECT_TRUE(buffer.isNull());
        EXPECT_FALSE(reason.isEmpty());
    }
}

// A map stays valid while any copy or slice holds it, even after the file's name is gone.
TEST(ByteBuffer, MappedBytesOutliveTheFileName) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = writeFile(dir, "gone.raw", QByteArray("0123456789abcdef"));
    const ByteBuffer part = ByteBuffer::mapFile(path).slice(10, 6);
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_EQ(bytesOf(part), QByteArray("abcdef"));
}

// The upload hands the pages of the mapped sample back once the texture holds them: they
// leave the process's resident set and read the same when touched again.
TEST(ByteBuffer, ReleasedPagesOfAMappedFileLeaveTheResidentSetAndReadTheSame) {
    constexpr qsizetype kFileBytes = 32 << 20;
    constexpr long kMostlyReleasedKib = 24 << 10;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QByteArray contents(kFileBytes, '\0');
    for (qsizetype i = 0; i < kFileBytes; ++i) {
        contents[i] = static_cast<char>((i * 31) >> 9);
    }
    const ByteBuffer mapped = ByteBuffer::mapFile(writeFile(dir, "volume.raw", contents));
    ASSERT_EQ(mapped.size(), static_cast<std::size_t>(kFileBytes));
    const std::uint64_t sum = touchEveryPage(mapped);
    const long touched = residentFileKib();
    ASSERT_GE(touched, kMostlyReleasedKib) << "no RssFile line in /proc/self/status";

    // From an odd offset on: the page it falls in stays, every whole page after it goes.
    mapped.releasePages(1, mapped.size());
    EXPECT_LE(residentFileKib(), touched - kMostlyReleasedKib);
    EXPECT_EQ(touchEveryPage(mapped), sum);
    EXPECT_EQ(bytesOf(mapped), contents);
}

TEST(ByteBuffer, ReleasingPagesOfBytesInMemoryKeepsThem) {
    const QByteArray contents(1 << 20, 'v');
    const ByteBuffer buffer = ByteBuffer::fromByteArray(contents);
    buffer.releasePages(0, buffer.size());
    ByteBuffer().releasePages(0, 100);
    EXPECT_EQ(bytesOf(buffer), contents);
}

} // namespace
