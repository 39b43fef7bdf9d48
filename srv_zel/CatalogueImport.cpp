#include "srv_zel/CatalogueImport.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <fstream>
#include <limits>
#include <vector>

#include "common/Text.h"
#include "money/CodePage.h"
#include "srv_zel/CsvReader.h"
#include "srv_zel/Schema.h"

namespace zel {

namespace {

constexpr std::size_t PROGRESS_CHECK_ROWS = 1024;

// A field in a message: quoted, and cut where it would drown the message.
std::string QuotedField(std::string_view text) {
    constexpr std::size_t MAX_SHOWN = 40;
    return Quoted(text, MAX_SHOWN);
}

// Reports progress about once a second.
class ProgressClock {
public:
    ProgressClock(const ImportProgress& report, std::string file)
        : report_(report), file_(std::move(file)), next_(Now() + std::chrono::seconds(1)) {}
    void Row(std::size_t rows) {
        if (!report_ || rows % PROGRESS_CHECK_ROWS != 0 || Now() < next_) {
            return;
        }
        report_(file_, rows);
        next_ = Now() + std::chrono::seconds(1);
    }

private:
    static std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }
    const ImportProgress& report_;
    std::string file_;
    std::chrono::steady_clock::time_point next_;
};

// Reads the records of one file and reports errors with its name and line.
class CsvFile {
public:
    CsvFile(const std::string& path, const CsvFormat& format)
        : path_(path), format_(format), in_(path, std::ios::binary) {
        if (!in_) {
            throw ImportError(path_ + ": cannot open the file");
        }
        if (!format.Encoding.empty()) {
            try {
                codePage_.emplace(format.Encoding);
            } catch (const CodePageError& e) {
                throw ImportError(std::string("--encoding: ") + e.what());
            }
        }
        reader_.emplace(in_, format.Delimiter);
    }
    bool Next(CsvRecord& record) {
        try {
            const bool got = reader_->Next(record);
            if (!got && in_.bad()) {
                throw ImportError(path_ + ": reading the file failed");
            }
            if (got && codePage_) {
                for (auto& field : record.Fields) {
                    field = codePage_->ToUtf8(field);
                }
            }
            return got;
        } catch (const CsvError& e) {
            throw ImportError(path_ + ":" + std::to_string(e.Line()) + ": " + e.what());
        }
    }
    [[noreturn]] void Fail(std::size_t line, const std::string& reason) const {
        throw ImportError(path_ + ":" + std::to_string(line) + ": " + reason);
    }
    // A header of one field that holds ';' was written with another delimiter.
    void CheckDelimiter(const CsvRecord& header) const {
        if (header.Fields.size() == 1 && format_.Delimiter != ';' &&
            header.Fields[0].find(';') != std::string::npos) {
            Fail(header.Line, "the header looks ;-separated; give --delimiter ';'");
        }
    }

private:
    std::string path_;
    CsvFormat format_;
    std::optional<CodePage> codePage_;
    std::ifstream in_;
    std::optional<CsvReader> reader_;
};

enum class ArticleField { Code, Description, Price, ImpsAct, BanImps };

struct HeaderColumn {
    ArticleField Field;
    int PriceList = 0;  // 1 to 8 for a price
    std::string Name;   // as written, for messages
    std::string DbColumn;
};

std::vector<HeaderColumn> ReadArticleHeader(CsvFile& file, const CsvRecord& header) {
    file.CheckDelimiter(header);
    std::vector<HeaderColumn> columns;
    std::vector<std::string> seen;
    for (const auto& raw : header.Fields) {
        const std::string name = AsciiLower(Trim(raw));
        HeaderColumn col{ArticleField::Code, 0, name, {}};
        if (name == "codigo") {
            col = {ArticleField::Code, 0, name, "Codigo"};
        } else if (name == "descripcion") {
            col = {ArticleField::Description, 0, name, "Descrip"};
        } else if (name == "imps_act") {
            col = {ArticleField::ImpsAct, 0, name, "Imps_Act"};
        } else if (name == "ban_imps") {
            col = {ArticleField::BanImps, 0, name, "Ban_Imps"};
        } else if (name.size() == 7 && name.starts_with("precio") && name[6] >= '1' &&
                   name[6] <= '0' + PRICE_LIST_COUNT) {
            col = {ArticleField::Price, name[6] - '0', name, "Precio" + name.substr(6)};
        } else {
            file.Fail(header.Line, "unknown column " + QuotedField(raw) +
                                       " in the header (codigo, descripcion, precio1 to precio8, "
                                       "imps_act, ban_imps)");
        }
        for (const auto& s : seen) {
            if (s == name) {
                file.Fail(header.Line,
                          "column " + QuotedField(name) + " appears twice in the header");
            }
        }
        seen.push_back(name);
        columns.push_back(col);
    }
    bool hasCode = false;
    for (const auto& s : seen) {
        hasCode = hasCode || s == "codigo";
    }
    if (!hasCode) {
        file.Fail(header.Line, "the header lacks column \"codigo\"");
    }
    if (columns.size() == 1) {
        file.Fail(header.Line, "the header names no column to load beside \"codigo\"");
    }
    return columns;
}

std::size_t CodeColumn(const std::vector<HeaderColumn>& columns) {
    std::size_t i = 0;
    while (columns[i].Field != ArticleField::Code) {
        ++i;
    }
    return i;
}

bool HasDescription(const std::vector<HeaderColumn>& columns) {
    for (const auto& c : columns) {
        if (c.Field == ArticleField::Description) {
            return true;
        }
    }
    return false;
}

// With a description the rows are upserted; without one they only update
// articles already in the table (a new article needs its description).
std::string UpsertSql(const std::vector<HeaderColumn>& columns) {
    std::string names;
    std::string values;
    std::string updates;
    std::string sets;
    std::string code;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const std::string& c = columns[i].DbColumn;
        const std::string param = "?" + std::to_string(i + 1);
        names += (i ? ", " : "") + c;
        values += (i ? ", " : "") + param;
        if (columns[i].Field == ArticleField::Code) {
            code = param;
        } else {
            updates += (updates.empty() ? "" : ", ") + c + " = excluded." + c;
            sets += (sets.empty() ? "" : ", ") + c + " = " + param;
        }
    }
    if (!HasDescription(columns)) {
        return "UPDATE Articulos SET " + sets + " WHERE Codigo = " + code;
    }
    std::string sql = "INSERT INTO Articulos (" + names + ") VALUES (" + values + ")";
    sql += updates.empty() ? " ON CONFLICT(Codigo) DO NOTHING"
                           : " ON CONFLICT(Codigo) DO UPDATE SET " + updates;
    return sql;
}

std::size_t ImportArticles(CatalogueWriter& db, const std::string& path, const CsvFormat& format,
                           const ImportProgress& progress) {
    CsvFile file(path, format);
    CsvRecord record;
    if (!file.Next(record)) {
        file.Fail(1, "the file is empty; it needs a header row");
    }
    const auto columns = ReadArticleHeader(file, record);
    const bool updateOnly = !HasDescription(columns);
    const auto upsert = db.Prepare(UpsertSql(columns));
    ProgressClock clock(progress, path);
    std::size_t rows = 0;
    while (file.Next(record)) {
        if (record.Fields.size() != columns.size()) {
            file.Fail(record.Line, std::to_string(record.Fields.size()) +
                                       " columns where the header has " +
                                       std::to_string(columns.size()));
        }
        try {
            for (std::size_t i = 0; i < columns.size(); ++i) {
                const int index = static_cast<int>(i) + 1;
                const std::string& text = record.Fields[i];
                switch (columns[i].Field) {
                    case ArticleField::Code:
                        upsert->Bind(index, ParseArticleCode(text));
                        break;
                    case ArticleField::Description:
                        if (!IsValidUtf8(text)) {
                            throw ImportError(
                                "descripcion is not valid UTF-8 (for a windows-1252 file, give "
                                "--encoding windows-1252)");
                        }
                        upsert->Bind(index, std::string_view(text));
                        break;
                    case ArticleField::Price:
                        if (const auto price = ParsePrice(columns[i].Name, text)) {
                            upsert->Bind(index, *price);
                        } else {
                            upsert->BindNull(index);
                        }
                        break;
                    case ArticleField::ImpsAct:
                        upsert->Bind(index, ParseBoundedInt("imps_act", text, -32768, 32767));
                        break;
                    case ArticleField::BanImps:
                        upsert->Bind(index, ParseBoundedInt("ban_imps", text, -128, 127));
                        break;
                }
            }
        } catch (const ImportError& e) {
            file.Fail(record.Line, e.what());
        }
        std::size_t changed = 0;
        try {
            changed = upsert->Run();
        } catch (const std::runtime_error& e) {  // the store refused the row
            file.Fail(record.Line, e.what());
        }
        if (updateOnly && changed == 0) {
            file.Fail(record.Line, "article " +
                                       std::string(Trim(record.Fields[CodeColumn(columns)])) +
                                       " is not in the catalogue; a new article needs the "
                                       "column \"descripcion\"");
        }
        clock.Row(++rows);
    }
    return rows;
}

std::size_t ImportTaxes(CatalogueWriter& db, const std::string& path, const CsvFormat& format,
                        const ImportProgress& progress) {
    CsvFile file(path, format);
    CsvRecord record;
    if (!file.Next(record)) {
        file.Fail(1, "the file is empty; it needs the header \"pct\"");
    }
    file.CheckDelimiter(record);
    if (record.Fields.size() != 1 || AsciiLower(Trim(record.Fields[0])) != "pct") {
        file.Fail(record.Line, "the header must be the one column \"pct\"");
    }
    db.Exec("DELETE FROM Impuestos");
    const auto insert = db.Prepare("INSERT INTO Impuestos (Numero, PCT) VALUES (?1, ?2)");
    ProgressClock clock(progress, path);
    std::size_t rows = 0;
    while (file.Next(record)) {
        if (record.Fields.size() != 1) {
            file.Fail(record.Line,
                      std::to_string(record.Fields.size()) + " columns where the header has 1");
        }
        std::optional<double> pct;
        try {
            pct = ParsePrice("pct", record.Fields[0]);
        } catch (const ImportError& e) {
            file.Fail(record.Line, e.what());
        }
        if (!pct) {
            file.Fail(record.Line, "pct is empty");
        }
        if (*pct < 0) {
            file.Fail(record.Line, "pct " + QuotedField(Trim(record.Fields[0])) + " is negative");
        }
        insert->Bind(1, static_cast<std::int64_t>(rows + 1));
        insert->Bind(2, *pct);
        insert->Run();
        clock.Row(++rows);
    }
    if (rows == 0) {
        // An empty table would take every tax off every price.
        file.Fail(record.Line,
                  "the file has its header but no tax; the taxes are left as they are");
    }
    return rows;
}

}  // namespace

std::int64_t ParseArticleCode(const std::string& raw) {
    const std::string text(Trim(raw));
    if (text.empty()) {
        throw ImportError("codigo is empty");
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            throw ImportError("codigo " + QuotedField(text) + " is not made of digits");
        }
    }
    // Leading zeros vanish, as they do when a terminal's digits become a number.
    const auto significant = text.find_first_not_of('0');
    const std::string digits = significant == std::string::npos ? "0" : text.substr(significant);
    if (digits.size() > 13) {
        throw ImportError("codigo " + QuotedField(text) + " is longer than 13 digits");
    }
    std::int64_t code = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), code);
    return code;
}

std::optional<double> ParsePrice(const std::string& column, const std::string& raw) {
    const std::string text(Trim(raw));
    if (text.empty()) {
        return std::nullopt;
    }
    const bool startsLikeNumber =
        (text[0] >= '0' && text[0] <= '9') || text[0] == '.' || text[0] == '-';
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (!startsLikeNumber || ec != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value)) {
        throw ImportError(column + " " + QuotedField(text) + " is not a number");
    }
    return value + 0.0;  // no negative zero
}

std::int64_t ParseBoundedInt(const std::string& column, const std::string& raw, std::int64_t lowest,
                             std::int64_t highest) {
    const std::string text(Trim(raw));
    if (text.empty()) {
        return 0;
    }
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc::result_out_of_range ||
        (ec == std::errc() && end == text.data() + text.size() &&
         (value < lowest || value > highest))) {
        throw ImportError(column + " " + QuotedField(text) + " is outside " +
                          std::to_string(lowest) + " to " + std::to_string(highest));
    }
    if (ec != std::errc() || end != text.data() + text.size()) {
        throw ImportError(column + " " + QuotedField(text) + " is not an integer");
    }
    return value;
}

ImportCounts ImportCatalogue(CatalogueWriter& db, const ImportFiles& files,
                             const ImportProgress& progress) {
    ImportCounts counts;
    WriteTransaction transaction(db);
    if (files.Articles) {
        counts.Articles = ImportArticles(db, *files.Articles, files.Format, progress);
    }
    if (files.Taxes) {
        counts.Taxes = ImportTaxes(db, *files.Taxes, files.Format, progress);
    }
    transaction.Commit();
    return counts;
}

}  // namespace zel
