// CatalogueImport: loads articles and taxes from CSV files into a catalogue,
// all in one transaction: the first bad row stops the import with its file,
// line and reason, and nothing is imported.
//
// Articles: header codigo, descripcion and optionally precio1..precio8,
// imps_act, ban_imps (any order, any case); rows are upserted by code and an
// existing article keeps the columns the header does not name. Without
// descripcion the rows only update articles already there (codigo,precio2:
// new prices). Prices may be negative (a deposit given back). Taxes: header
// pct; the rows, at least one, replace the table, tax 1 first.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "srv_zel/CatalogueStore.h"

namespace zel {

class ImportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;  // "file:line: reason" or "file: reason"
};

struct CsvFormat {
    char Delimiter = ',';
    std::string Encoding;  // an iconv name of a single-byte code page; empty: UTF-8
};

struct ImportFiles {
    std::optional<std::string> Articles;
    std::optional<std::string> Taxes;
    CsvFormat Format;
};

struct ImportCounts {
    std::size_t Articles = 0;
    std::size_t Taxes = 0;
};

// Called about once a second on a long file with the file and the rows read so far.
using ImportProgress = std::function<void(const std::string& file, std::size_t rows)>;

// Throws ImportError (bad file or row; the database is unchanged) or the
// store's error.
ImportCounts ImportCatalogue(CatalogueWriter& db, const ImportFiles& files,
                             const ImportProgress& progress = {});

// Pure field checks, shared with the tests. Each throws ImportError with the
// reason (no file or line).
std::int64_t ParseArticleCode(const std::string& text);      // 1 to 13 digits
std::optional<double> ParsePrice(const std::string& column,  // empty: no price
                                 const std::string& text);
std::int64_t ParseBoundedInt(const std::string& column, const std::string& text,
                             std::int64_t lowest, std::int64_t highest);  // empty: 0

}  // namespace zel
