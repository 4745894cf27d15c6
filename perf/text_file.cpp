#include "perf/text_file.h"

namespace Kestro::Perf {

namespace {

HANDLE OpenShared(const std::wstring& path, TextFileMode mode, DWORD* error) {
    const DWORD access = mode == TextFileMode::Read ? GENERIC_READ : GENERIC_WRITE;
    const DWORD disposition = mode == TextFileMode::Create ? CREATE_NEW : OPEN_EXISTING;
    HANDLE file =
        CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return file;
    }
    if (mode == TextFileMode::Append) {
        // This handle is the only writer (others are denied write access), so placing it at the
        // end once makes every write an append.
        LARGE_INTEGER zero{};
        if (!SetFilePointerEx(file, zero, nullptr, FILE_END)) {
            *error = GetLastError();
            CloseHandle(file);
            return INVALID_HANDLE_VALUE;
        }
    }
    return file;
}

bool WriteAll(HANDLE file, const char* data, size_t size) {
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
        if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

}  // namespace

TextFileBuf::TextFileBuf(HANDLE file) : file_(file) {
    setp(out_, out_ + kBufferSize);
    setg(in_, in_, in_);
}

TextFileBuf::~TextFileBuf() { Close(); }

bool TextFileBuf::Close() {
    if (file_ == INVALID_HANDLE_VALUE) return true;
    const bool flushed = FlushOutput();
    const bool closed = CloseHandle(file_) != 0;
    file_ = INVALID_HANDLE_VALUE;
    return flushed && closed;
}

bool TextFileBuf::FlushOutput() {
    const char* begin = pbase();
    const char* end = pptr();
    setp(out_, out_ + kBufferSize);
    if (begin == end) return true;
    if (file_ == INVALID_HANDLE_VALUE) return false;
    // Each "\n" becomes CR LF; at most twice the buffered size.
    char translated[2 * kBufferSize];
    size_t size = 0;
    for (const char* c = begin; c != end; ++c) {
        if (*c == '\n') translated[size++] = '\r';
        translated[size++] = *c;
    }
    return WriteAll(file_, translated, size);
}

TextFileBuf::int_type TextFileBuf::overflow(int_type ch) {
    if (!FlushOutput()) return traits_type::eof();
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    *pptr() = traits_type::to_char_type(ch);
    pbump(1);
    return ch;
}

int TextFileBuf::sync() { return FlushOutput() ? 0 : -1; }

TextFileBuf::int_type TextFileBuf::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (file_ == INVALID_HANDLE_VALUE) return traits_type::eof();
    for (;;) {
        size_t size = 0;
        if (carriedCr_) raw_[size++] = '\r';
        DWORD read = 0;
        if (!ReadFile(file_, raw_ + size, static_cast<DWORD>(kBufferSize - size), &read, nullptr)) read = 0;
        carriedCr_ = false;
        if (read == 0 && size == 0) return traits_type::eof();
        size += read;
        // A CR at the end of a read may be the first half of CR LF: keep it for the next one.
        if (read > 0 && raw_[size - 1] == '\r') {
            carriedCr_ = true;
            --size;
        }
        size_t out = 0;
        for (size_t i = 0; i < size; ++i) {
            if (raw_[i] == '\r' && i + 1 < size && raw_[i + 1] == '\n') continue;
            in_[out++] = raw_[i];
        }
        if (out > 0) {
            setg(in_, in_, in_ + out);
            return traits_type::to_int_type(*gptr());
        }
    }
}

TextFileStream::TextFileStream(const std::wstring& path, TextFileMode mode)
    : std::iostream(nullptr), buf_(OpenShared(path, mode, &openError_)) {
    rdbuf(&buf_);
    if (!buf_.IsOpen()) setstate(std::ios::badbit);
}

bool TextFileStream::Close() {
    if (buf_.Close()) return true;
    setstate(std::ios::badbit);
    return false;
}

}  // namespace Kestro::Perf
