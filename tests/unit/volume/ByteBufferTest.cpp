#include "volume/core/ByteBuffer.h"

#include "VolumeFileWriters.h"

#include <QFile>
#include <gtest/gtest.h>

namespace {

// Resident pages of mapped files, in KiB, as the kernel counts them for this process.
long residentFileKib() {
    for (const QByteArray& line : readFile(QStringLiteral("/proc/self/status")).split('\n'))
        if (line.startsWith("RssFile:"))
            return line.mid(8).trimmed().split(' ').value(0).toLong();
    return -1;
}

std::uint64_t touchEveryPage(const ByteBuffer& buffer) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < buffer.size(); i += 512)
        sum += static_cast<unsigned char>(buffer.data()[i]);
    return sum;
}

// A default buffer is null, an empty array is not; slices are clamped to the buffer and
// keep its storage alive; releasing the pages of bytes in memory keeps them.
TEST(ByteBuffer, SlicesAreClampedAndKeepTheStorage) {
    EXPECT_TRUE(ByteBuffer().isNull());
    EXPECT_TRUE(ByteBuffer().slice(0, 10).isNull());
    EXPECT_FALSE(ByteBuffer::fromByteArray(QByteArray()).isNull());
    ByteBuffer buffer = ByteBuffer::fromByteArray("0123456789");
    const struct {
        std::size_t offset, length;
        const char* expected;
    } cases[] = {{0, 10, "0123456789"}, {2, 3, "234"}, {8, 100, "89"}, {10, 1, ""}, {50, 5, ""}, {0, 0, ""}};
    for (const auto& c : cases) {
        const ByteBuffer part = buffer.slice(c.offset, c.length);
        EXPECT_FALSE(part.isNull());
        EXPECT_EQ(bytesOf(part), QByteArray(c.expected)) << c.offset << "+" << c.length;
    }
    const ByteBuffer tail = buffer.slice(8, 2);
    buffer.releasePages(0, buffer.size());
    buffer = ByteBuffer();
    EXPECT_EQ(bytesOf(tail), QByteArray("89"));
}

// Mapped or read, a file gives its bytes; a missing one gives null and a reason. A map
// stays valid while any slice holds it, even after the file's name is gone. The upload
// hands the pages of the mapped sample back once the texture holds them: they leave the
// process's resident set and read the same when touched again.
TEST(ByteBuffer, MappedAndReadFilesGiveTheirBytesAndReleasedPagesLeaveTheResidentSet) {
    constexpr qsizetype kFileBytes = 32 << 20;
    constexpr long kMostlyReleasedKib = 24 << 10;
    TestFolder dir;
    QByteArray contents(kFileBytes, '\0');
    for (qsizetype i = 0; i < kFileBytes; ++i)
        contents[i] = static_cast<char>((i * 31) >> 9);
    const QString path = dir.write("volume.raw", contents);
    EXPECT_EQ(bytesOf(ByteBuffer::readFile(path)), contents);
    const ByteBuffer mapped = ByteBuffer::mapFile(path);
    const ByteBuffer part = ByteBuffer::mapFile(path).slice(10, 6);
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_EQ(bytesOf(part), contents.mid(10, 6));
    const ByteBuffer emptyMap = ByteBuffer::mapFile(dir.write("empty.raw", {}));
    EXPECT_EQ(std::pair(emptyMap.isNull(), emptyMap.size()), std::pair(false, std::size_t{0}));
    for (const bool map : {true, false}) {
        QString reason;
        const ByteBuffer missing =
            map ? ByteBuffer::mapFile(path, &reason) : ByteBuffer::readFile(path, &reason);
        EXPECT_TRUE(missing.isNull() && !reason.isEmpty()) << qPrintable(reason);
    }

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

} // namespace
