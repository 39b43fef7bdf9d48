#include "srv_zel/CsvReader.h"

namespace zel {

namespace {
constexpr int END = std::char_traits<char>::eof();
}

CsvReader::CsvReader(std::istream& in, char delimiter) : buf_(in.rdbuf()), delimiter_(delimiter) {}

int CsvReader::Get() {
    return buf_->sbumpc();
}
int CsvReader::Peek() {
    return buf_->sgetc();
}

bool CsvReader::Next(CsvRecord& record) {
    if (!started_) {
        started_ = true;
        static constexpr unsigned char BOM[] = {0xEF, 0xBB, 0xBF};
        std::size_t matched = 0;
        while (matched < 3 && Peek() == BOM[matched]) {
            Get();
            ++matched;
        }
        if (matched != 0 && matched != 3) {
            throw CsvError(1, "the file starts with a broken byte-order mark");
        }
    }
    record.Fields.clear();
    // Entirely empty lines are no records.
    for (;;) {
        const int c = Peek();
        if (c == END) {
            return false;
        }
        if (c == '\n') {
            Get();
            ++line_;
        } else if (c == '\r') {
            Get();
            if (Peek() == '\n') {
                Get();
            }
            ++line_;
        } else {
            break;
        }
    }
    record.Line = line_;
    std::string field;
    const auto append = [&](int c) {
        if (field.size() == MAX_FIELD_BYTES) {
            throw CsvError(line_,
                           "a field longer than " + std::to_string(MAX_FIELD_BYTES) + " bytes");
        }
        field += static_cast<char>(c);
    };
    for (;;) {
        // One field.
        field.clear();
        if (Peek() == '"') {
            const std::size_t opened = line_;
            Get();
            for (;;) {
                const int c = Get();
                if (c == END) {
                    throw CsvError(opened, "a quoted field opened on this line never closes");
                }
                if (c == '"') {
                    if (Peek() == '"') {
                        Get();
                        append('"');
                        continue;
                    }
                    break;
                }
                if (c == '\n') {
                    ++line_;
                }
                append(c);
            }
            const int after = Peek();
            if (after != delimiter_ && after != '\n' && after != '\r' && after != END) {
                throw CsvError(line_, "a character after the closing quote of a field");
            }
        } else {
            for (;;) {
                const int c = Peek();
                if (c == delimiter_ || c == '\n' || c == '\r' || c == END) {
                    break;
                }
                if (c == '"') {
                    throw CsvError(line_, "a quote inside an unquoted field");
                }
                append(Get());
            }
        }
        record.Fields.push_back(field);
        const int c = Get();
        if (c == delimiter_) {
            continue;
        }
        if (c == '\r' && Peek() == '\n') {
            Get();
        }
        if (c != END) {
            ++line_;
        }
        return true;
    }
}

}  // namespace zel
