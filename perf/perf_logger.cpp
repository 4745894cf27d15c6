#include "perf/perf_logger.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "perf/csv.h"
#include "perf/text_file.h"

namespace Kestro::Perf {

namespace {

std::string RowText(const std::vector<std::string>& fields) {
    std::ostringstream text;
    Csv::WriteRow(text, fields);
    return text.str();
}

}  // namespace

PerfLogger::PerfLogger(std::wstring directory, StatsGatherer& source)
    : directory_(std::move(directory)),
      sizeLimit_(kSizeLimit),
      fileCount_(kFileCount),
      source_(source),
      path_(directory_ + L"\\" + kPerfLogFileName) {}

std::string PerfLogger::FormatTimestamp(FILETIME time) {
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&time, &st)) throw std::runtime_error("FileTimeToSystemTime failed");
    char text[25];
    const int length = snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", st.wYear, st.wMonth, st.wDay,
                                st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    if (length != 24) throw std::runtime_error("Timestamp out of range");
    return text;
}

void PerfLogger::EnsureFolder(const std::wstring& path) {
    // The empty text before a leading backslash names nothing to create.
    if (path.empty()) return;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return;
        throw std::runtime_error("EnsureFolder: Already exists but not a directory");
    }
    const DWORD attributesError = GetLastError();
    const size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos) EnsureFolder(path.substr(0, slash));
    if (CreateDirectoryW(path.c_str(), nullptr)) return;
    const DWORD createError = GetLastError();
    if (createError == ERROR_ALREADY_EXISTS) return;
    throw std::runtime_error("EnsureFolder: Failed to get attributes, error " + std::to_string(attributesError) +
                             ", cannot create directory, error " + std::to_string(createError));
}

void PerfLogger::RotateFiles() {
    for (uint32_t n = fileCount_; n >= 1; --n) {
        const std::wstring source = n == 1 ? path_ : path_ + L"." + std::to_wstring(n - 1);
        const std::wstring target = path_ + L"." + std::to_wstring(n);
        MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
}

bool PerfLogger::HeaderMatches(const std::vector<std::string>& header) const {
    TextFileStream in(path_, TextFileMode::Read);
    std::vector<std::string> fields;
    try {
        Csv::ReadRow(in, fields);
    } catch (const Csv::csv_exception&) {
        // A first line that cannot be parsed is no header of ours; keeping it would stop the log
        // for good, since the file would never change again.
        return false;
    }
    return in.good() && fields == header;
}

void PerfLogger::Write(FILETIME time) {
    const std::string timestamp = FormatTimestamp(time);
    source_.Gather();

    std::vector<std::string> header{"timestamp"};
    std::vector<std::string> row{timestamp};
    for (const std::string& name : source_.Names()) {
        header.push_back(name);
        // Printed as unsigned: a negative value appears as its two's-complement equivalent.
        row.push_back(std::to_string(static_cast<uint64_t>(source_.GetValue(name))));
    }
    // Formatted before the file is touched, so a column name that cannot be written leaves the
    // log as it is.
    const std::string headerText = RowText(header);
    const std::string rowText = RowText(row);

    EnsureFolder(directory_);

    bool newFile = true;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(path_.c_str(), GetFileExInfoStandard, &data)) {
        const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        if (size >= sizeLimit_ || !HeaderMatches(header)) {
            RotateFiles();
        } else {
            newFile = false;
        }
    }

    if (newFile) {
        TextFileStream out(path_, TextFileMode::Create);
        if (!out.IsOpen()) {
            throw std::runtime_error("Failed to create the log file, error " + std::to_string(out.OpenError()));
        }
        out << headerText;
        if (!out.Close() || !out.good()) throw std::runtime_error("Failed to write header of the log file");
    }

    TextFileStream out(path_, TextFileMode::Append);
    if (!out.IsOpen()) {
        throw std::runtime_error("Failed to write data row, open error " + std::to_string(out.OpenError()));
    }
    out << rowText;
    if (!out.Close() || !out.good()) throw std::runtime_error("Failed to write data row");
}

}  // namespace Kestro::Perf
