// The static liblzma links into a Windows program and its .xz streams (LZMA2 preset 6, CRC64
// check) round-trip. The decoder's own checks are liblzma's business, not tested here.
//
// With --write-xz=<dir> the program instead writes <dir>\sample.bin and <dir>\sample.bin.xz and
// exits 0 on success; tests/lzma_xz_interop.sh then has the host's xz decode the stream and
// compares the bytes, which proves the format is the standard one and not just self-consistent.
#include <windows.h>

#include <lzma.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kSampleSize = 384 * 1024;

// Deterministic input mixing what the service compresses: log-like text, incompressible bytes,
// fixed-size binary records and runs of zeros, so every coder path is exercised.
Bytes MakeSample() {
    Bytes out;
    out.reserve(kSampleSize + 8192);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    static const char* const kWords[] = {"driver", "volume", "journal", "port",    "registry",
                                         "thread", "policy", "scan",    "verdict", "telemetry"};
    for (unsigned block = 0; out.size() < kSampleSize; ++block) {
        switch (block % 4) {
            case 0:
                for (int line = 0; line < 48; ++line) {
                    char text[160];
                    const uint64_t r = next();
                    const int n = std::snprintf(
                        text, sizeof text, "2024-05-01 12:%02u:%02u nvxs[%u]: %s %s %s 0x%08X\r\n", unsigned(r % 60),
                        unsigned((r >> 8) % 60), unsigned((r >> 16) % 9000), kWords[(r >> 24) % 10],
                        kWords[(r >> 28) % 10], kWords[(r >> 32) % 10], unsigned(r >> 32));
                    out.insert(out.end(), text, text + n);
                }
                break;
            case 1:
                for (int i = 0; i < 4096 / 8; ++i) {
                    const uint64_t r = next();
                    for (int b = 0; b < 8; ++b) out.push_back(uint8_t(r >> (8 * b)));
                }
                break;
            case 2:
                for (uint32_t rec = 0; rec < 256; ++rec) {
                    const uint32_t fields[4] = {block, rec, rec * 40503u, 0xC0DE0000u | (rec & 0xFF)};
                    const auto* p = reinterpret_cast<const uint8_t*>(fields);
                    out.insert(out.end(), p, p + sizeof fields);
                }
                break;
            default:
                out.insert(out.end(), 1 + next() % 8192, uint8_t{0});
                out.push_back(0xFF);
                break;
        }
    }
    out.resize(kSampleSize);
    return out;
}

// Runs a coder over the whole input, feeding it in pieces as a streaming caller would.
lzma_ret RunCoder(lzma_stream* strm, const Bytes& in, Bytes* out) {
    constexpr size_t kInChunk = 20000;
    uint8_t buffer[16384];
    size_t fed = 0;
    strm->next_in = in.data();
    strm->avail_in = 0;
    for (;;) {
        if (strm->avail_in == 0 && fed < in.size()) {
            const size_t n = std::min(kInChunk, in.size() - fed);
            strm->next_in = in.data() + fed;
            strm->avail_in = n;
            fed += n;
        }
        strm->next_out = buffer;
        strm->avail_out = sizeof buffer;
        const lzma_ret ret = lzma_code(strm, fed == in.size() ? LZMA_FINISH : LZMA_RUN);
        out->insert(out->end(), buffer, buffer + (sizeof buffer - strm->avail_out));
        if (ret != LZMA_OK) return ret;
    }
}

// .xz stream, LZMA2 at preset 6, CRC64 integrity check. Returns LZMA_STREAM_END on success.
lzma_ret EncodeXz(const Bytes& in, Bytes* out) {
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, 6)) return LZMA_OPTIONS_ERROR;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    lzma_ret ret = lzma_stream_encoder(&strm, filters, LZMA_CHECK_CRC64);
    if (ret == LZMA_OK) ret = RunCoder(&strm, in, out);
    lzma_end(&strm);
    return ret;
}

lzma_ret DecodeXz(const Bytes& in, Bytes* out) {
    lzma_stream strm = LZMA_STREAM_INIT;
    lzma_ret ret = lzma_stream_decoder(&strm, UINT64_MAX, 0);
    if (ret == LZMA_OK) ret = RunCoder(&strm, in, out);
    lzma_end(&strm);
    return ret;
}

class LzmaLink : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sample_ = new Bytes(MakeSample());
        encoded_ = new Bytes;
        encodeResult_ = EncodeXz(*sample_, encoded_);
    }
    static void TearDownTestSuite() {
        delete sample_;
        delete encoded_;
    }
    static Bytes* sample_;
    static Bytes* encoded_;
    static lzma_ret encodeResult_;
};

Bytes* LzmaLink::sample_ = nullptr;
Bytes* LzmaLink::encoded_ = nullptr;
lzma_ret LzmaLink::encodeResult_ = LZMA_PROG_ERROR;

TEST_F(LzmaLink, HeaderMatchesLinkedLibrary) {
    EXPECT_EQ(lzma_version_number(), uint32_t{LZMA_VERSION});
    EXPECT_TRUE(lzma_check_is_supported(LZMA_CHECK_CRC64));
    EXPECT_TRUE(lzma_filter_encoder_is_supported(LZMA_FILTER_LZMA2));
}

TEST_F(LzmaLink, StreamRoundTripsAndCompresses) {
    ASSERT_EQ(encodeResult_, LZMA_STREAM_END);
    // A quarter of the sample is random, the rest compresses well.
    EXPECT_LT(encoded_->size(), sample_->size() * 2 / 5);
    EXPECT_GT(encoded_->size(), sample_->size() / 5);

    Bytes decoded;
    ASSERT_EQ(DecodeXz(*encoded_, &decoded), LZMA_STREAM_END);
    ASSERT_EQ(decoded.size(), sample_->size());
    EXPECT_TRUE(decoded == *sample_);
}

bool WriteWholeFile(const std::wstring& path, const Bytes& data) {
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "CreateFileW(%ls) failed: %lu\n", path.c_str(), GetLastError());
        return false;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, data.data(), DWORD(data.size()), &written, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!ok || written != data.size()) {
        std::fprintf(stderr, "WriteFile(%ls) failed: %lu\n", path.c_str(), error);
        return false;
    }
    return true;
}

int WriteSampleFiles(const char* dirArgument) {
    const int length = MultiByteToWideChar(CP_ACP, 0, dirArgument, -1, nullptr, 0);
    if (length <= 1) {
        std::fprintf(stderr, "--write-xz needs a directory\n");
        return 2;
    }
    std::wstring dir(size_t(length - 1), L'\0');
    MultiByteToWideChar(CP_ACP, 0, dirArgument, -1, dir.data(), length);
    if (dir.back() != L'\\') dir += L'\\';

    const Bytes sample = MakeSample();
    Bytes encoded;
    const lzma_ret ret = EncodeXz(sample, &encoded);
    if (ret != LZMA_STREAM_END) {
        std::fprintf(stderr, "lzma encoder failed: %d\n", int(ret));
        return 1;
    }
    if (!WriteWholeFile(dir + L"sample.bin", sample) || !WriteWholeFile(dir + L"sample.bin.xz", encoded)) return 1;
    std::printf("wrote %zu bytes and their %zu-byte .xz stream\n", sample.size(), encoded.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    static const char kWriteFlag[] = "--write-xz=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kWriteFlag, sizeof kWriteFlag - 1) == 0) {
            return WriteSampleFiles(argv[i] + sizeof kWriteFlag - 1);
        }
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
