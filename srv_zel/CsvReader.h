// CsvReader: records of an RFC 4180 file (comma-separated, or another
// delimiter; fields quoted with '"', a doubled quote inside, quoted fields may
// span lines, CRLF or LF line ends), read one at a time from a stream with the line each starts on.
//
// A leading UTF-8 byte-order mark is skipped and so are entirely empty lines.
// Malformed quoting throws CsvError with its line.
#pragma once

#include <cstddef>
#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

namespace zel {

class CsvError : public std::runtime_error {
public:
    CsvError(std::size_t line, const std::string& reason)
        : std::runtime_error(reason), line_(line) {}
    std::size_t Line() const { return line_; }

private:
    std::size_t line_;
};

struct CsvRecord {
    std::vector<std::string> Fields;
    std::size_t Line = 0;  // 1-based line where the record starts
};

class CsvReader {
public:
    static constexpr std::size_t MAX_FIELD_BYTES = 1u << 20;

    explicit CsvReader(std::istream& in, char delimiter = ',');

    // The next record; false at the end of the input.
    bool Next(CsvRecord& record);

private:
    int Get();
    int Peek();

    std::streambuf* buf_;
    std::size_t line_ = 1;
    bool started_ = false;
    char delimiter_;
};

}  // namespace zel
