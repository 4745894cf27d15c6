// The performance log's CSV rows (perf/csv.cpp): the reader on arbitrary text, line after line,
// and the writer's round trip. The reader's outcomes are a row, an empty row at the end of the
// text (a last line without a line feed included) or csv_exception for a quote left open, with
// the fields then unchanged; any other exception is a finding. Every row read is written and
// read back field for field. The whole input, split at tabs, is also written as one row: a
// field holding a line feed is refused before anything is written, any other row reads back.
// fuzz-sources: perf/csv.cpp
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/platform/fuzz_support.h"
#include "perf/csv.h"

namespace {

using Kestro::Csv::csv_exception;
using Fields = std::vector<std::string>;

// Writes the fields and reads them back: the same fields, and the text is one line.
void RequireRoundTrip(const Fields& fields) {
    std::ostringstream out;
    Kestro::Csv::WriteRow(out, fields);
    const std::string text = out.str();
    NvxFuzzRequire(!text.empty() && text.find('\n') == text.size() - 1, "a written row is not one line");
    std::istringstream in(text);
    Fields back{"unchanged"};
    try {
        Kestro::Csv::ReadRow(in, back);
    } catch (const csv_exception&) {
        NvxFuzzRequire(false, "a written row does not read back (open quote)");
    }
    NvxFuzzRequire(in.good(), "a written row does not read back as a whole line");
    // An empty list writes an empty line, which reads as one empty field.
    const Fields expected = fields.empty() ? Fields{""} : fields;
    NvxFuzzRequire(back == expected, "a written row reads back different fields");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::istringstream in(text);
    for (size_t rows = 0; rows < 64; ++rows) {
        Fields fields{"before"};
        const Fields before = fields;
        try {
            Kestro::Csv::ReadRow(in, fields);
        } catch (const csv_exception&) {
            NvxFuzzRequire(fields == before, "a refused row changed the fields");
            continue;
        }
        if (!in.good()) {
            NvxFuzzRequire(fields.empty(), "a row at the end of the text was kept");
            break;
        }
        NvxFuzzRequire(!fields.empty(), "a line read as no fields");
        RequireRoundTrip(fields);
    }

    Fields fields;
    size_t start = 0;
    for (size_t tab = text.find('\t'); tab != std::string::npos; tab = text.find('\t', start)) {
        fields.push_back(text.substr(start, tab - start));
        start = tab + 1;
    }
    fields.push_back(text.substr(start));
    if (text.find('\n') == std::string::npos) {
        RequireRoundTrip(fields);
    } else {
        std::ostringstream out;
        bool refused = false;
        try {
            Kestro::Csv::WriteRow(out, fields);
        } catch (const csv_exception&) {
            refused = true;
        }
        NvxFuzzRequire(refused && out.str().empty(), "a field with a line feed was written");
    }
    return 0;
}
