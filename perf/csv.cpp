#include "perf/csv.h"

namespace Kestro::Csv {

std::istream& ReadRow(std::istream& in, std::vector<std::string>& fields) {
    std::string line;
    std::getline(in, line, in.widen('\n'));
    if (!in.good()) {
        fields.clear();
        return in;
    }
    std::vector<std::string> row;
    std::string field;
    bool inQuotes = false;
    bool previousWasQuote = false;
    for (const char c : line) {
        if (c == '"') {
            // A quote right after a closing quote is a doubled quote inside a quoted field.
            if (previousWasQuote && !inQuotes) {
                field.push_back('"');
                inQuotes = true;
            } else {
                inQuotes = !inQuotes;
            }
        } else if (c == ',' && !inQuotes) {
            row.push_back(std::move(field));
            field.clear();
        } else {
            field.push_back(c);
        }
        previousWasQuote = c == '"';
    }
    row.push_back(std::move(field));
    if (inQuotes) throw csv_exception("odd number of quotes in CSV row");
    fields = std::move(row);
    return in;
}

std::ostream& WriteRow(std::ostream& out, const std::vector<std::string>& fields) {
    const char lineFeed = out.widen('\n');
    for (const std::string& field : fields) {
        if (field.find(lineFeed) != std::string::npos) throw csv_exception("newline in the field");
    }
    bool first = true;
    for (const std::string& field : fields) {
        if (!first) out << ',';
        first = false;
        if (field.find_first_of(",\"") == std::string::npos) {
            out << field;
            continue;
        }
        out << '"';
        for (const char c : field) {
            if (c == '"') out << '"';
            out << c;
        }
        out << '"';
    }
    out << lineFeed;
    return out;
}

}  // namespace Kestro::Csv
