#include "ByteBuffer.h"

#include <QFile>
#include <QTemporaryDir>
#include <cstring>
#include <gtest/gtest.h>

namespace {

QByteArray bytesOf(const ByteBuffer& buffer) {
    return QByteArray(reinterpret_cast<const char*>(buffer.data()), static_cast<qsizetype>(buffer.size()));
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

} // namespace
