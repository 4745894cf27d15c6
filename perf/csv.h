// Comma-separated rows on narrow streams. A field holding "," or a double quote is written
// inside double quotes with every inner quote doubled; any other field, the empty one included,
// is written unchanged. A field holding a line feed cannot be written. ReadRow reads back
// everything WriteRow writes, field for field.
#pragma once

#include <istream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace Kestro::Csv {

// "odd number of quotes in CSV row" or "newline in the field".
struct csv_exception : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads one line (its line feed consumed, not kept) and splits it into fields. When the stream
// reports any condition after the line was read (end of file before a line feed included),
// fields is emptied and the stream returned as it is. Throws csv_exception when a quote is left
// open; fields is then unchanged.
std::istream& ReadRow(std::istream& in, std::vector<std::string>& fields);

// Writes the fields and a line feed; an empty list writes only the line feed. Throws
// csv_exception before writing anything when a field holds a line feed, so a refused row never
// leaves a partial line behind.
std::ostream& WriteRow(std::ostream& out, const std::vector<std::string>& fields);

}  // namespace Kestro::Csv
