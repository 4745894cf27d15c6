// Narrow text files that other processes may read but not write while they are open.
//
// The standard file streams cannot choose the sharing of their open, so the file is opened with
// CreateFileW(FILE_SHARE_READ) and a small stream buffer of ours works on the handle. It gives
// the C runtime's text-mode line ends: every "\n" written is stored as CR LF, and CR LF read
// back is delivered as "\n" (a lone CR stays as it is; there is no end-of-file character).
#pragma once

#include <windows.h>

#include <iostream>
#include <streambuf>
#include <string>

namespace Kestro::Perf {

enum class TextFileMode {
    Read,    // an existing file, from its start
    Create,  // a new file; fails when one exists, so nothing is ever truncated
    Append,  // an existing file, every write at its end
};

class TextFileBuf final : public std::streambuf {
public:
    // Takes ownership of the handle (INVALID_HANDLE_VALUE for none).
    explicit TextFileBuf(HANDLE file);
    ~TextFileBuf() override;
    TextFileBuf(const TextFileBuf&) = delete;
    TextFileBuf& operator=(const TextFileBuf&) = delete;

    bool IsOpen() const { return file_ != INVALID_HANDLE_VALUE; }
    // Writes what is buffered and closes the handle; false when either failed.
    bool Close();

protected:
    int_type overflow(int_type ch) override;
    int sync() override;
    int_type underflow() override;

private:
    bool FlushOutput();

    static constexpr size_t kBufferSize = 4096;
    HANDLE file_;
    char out_[kBufferSize];
    char in_[kBufferSize];
    char raw_[kBufferSize];
    bool carriedCr_ = false;  // a CR ended the last read; it pairs with what comes next
};

// A TextFileBuf opened on a path. When the open fails the stream is bad from the start and
// OpenError() holds the Win32 error.
class TextFileStream final : public std::iostream {
public:
    TextFileStream(const std::wstring& path, TextFileMode mode);
    bool IsOpen() const { return buf_.IsOpen(); }
    DWORD OpenError() const { return openError_; }
    // Writes what is buffered and closes; on failure sets badbit and returns false.
    bool Close();

private:
    DWORD openError_ = ERROR_SUCCESS;
    TextFileBuf buf_;
};

}  // namespace Kestro::Perf
