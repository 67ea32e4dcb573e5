// Decoding an imported volume's data section into the texels the renderer uploads: raw
// little-endian unsigned samples (handed on without a copy), big-endian signed samples
// (byte swap and shift into the unsigned range) and gzip-encoded samples (inflate).

#include "volume/nrrd/NrrdDecoder.h"

#include <QByteArray>
#include <benchmark/benchmark.h>
#include <zlib.h>

namespace {

// A 512 x 512 x 64 slab of the head's size class: 32 MiB of 16-bit samples.
constexpr std::size_t kSamples = 512 * 512 * 64;
constexpr int kGzipWindowBits = 15 + 16; // zlib's deflate with a gzip wrapper

QByteArray rampSamples() {
    QByteArray bytes(static_cast<qsizetype>(kSamples * 2), Qt::Uninitialized);
    for (std::size_t i = 0; i < kSamples; ++i) {
        const auto value = static_cast<std::uint16_t>((i * 7) % 4096);
        bytes[static_cast<qsizetype>(2 * i)] = static_cast<char>(value & 0xFF);
        bytes[static_cast<qsizetype>(2 * i + 1)] = static_cast<char>(value >> 8);
    }
    return bytes;
}

QByteArray gzipped(const QByteArray& bytes) {
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(static_cast<qsizetype>(deflateBound(&stream, static_cast<uLong>(bytes.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.constData()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(static_cast<qsizetype>(stream.total_out));
    deflateEnd(&stream);
    return out;
}

void decode(benchmark::State& state, const NrrdLayout& layout, const ByteBuffer& source) {
    const NrrdDecoder decoder(layout, kSamples);
    for (auto _ : state) {
        const ImportResult<NrrdDecoder::Voxels> voxels = decoder.decode(source);
        if (const auto* refusal = std::get_if<ImportRefusal>(&voxels)) {
            state.SkipWithError(qPrintable(refusal->reason));
            return;
        }
        benchmark::DoNotOptimize(std::get<NrrdDecoder::Voxels>(voxels).data.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSamples * 2));
}

void BM_DecodeRawLittleEndianUnsigned(benchmark::State& state) {
    decode(state, NrrdLayout{}, ByteBuffer::fromByteArray(rampSamples()));
}
BENCHMARK(BM_DecodeRawLittleEndianUnsigned)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeRawBigEndianSigned(benchmark::State& state) {
    NrrdLayout layout;
    layout.bigEndian = true;
    layout.sampleType = SampleType::Int16;
    decode(state, layout, ByteBuffer::fromByteArray(rampSamples()));
}
BENCHMARK(BM_DecodeRawBigEndianSigned)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeGzipLittleEndianUnsigned(benchmark::State& state) {
    NrrdLayout layout;
    layout.encoding = NrrdLayout::Encoding::Gzip;
    decode(state, layout, ByteBuffer::fromByteArray(gzipped(rampSamples())));
}
BENCHMARK(BM_DecodeGzipLittleEndianUnsigned)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
