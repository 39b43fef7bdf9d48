// The CSV reader, and the import of articles and taxes into a catalogue: an
// import that fails leaves the catalogue as it was.
#include <cstdint>
#include <sstream>

#include "Catalogue.h"
#include "FuzzInput.h"
#include "TempDir.h"
#include "srv_zel/CatalogueImport.h"
#include "srv_zel/CsvReader.h"
#include "srv_zel/DemoCatalogue.h"
#include "srv_zel/Schema.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel::fuzz::FuzzInput input(data, size);
    const bool taxes = input.Take<std::uint8_t>() & 1;
    const std::string csv = input.Rest();

    std::istringstream stream(csv);
    zel::CsvReader reader(stream);
    zel::CsvRecord record;
    try {
        while (reader.Next(record)) {
            for (const std::string& field : record.Fields) {
                zel::fuzz::Check(field.size() <= zel::CsvReader::MAX_FIELD_BYTES,
                                 "field over the limit");
            }
        }
    } catch (const zel::CsvError&) {
    }

    static const zel::test::TempDir dir;
    static const std::string db = [] {
        const std::string path = dir.File("catalogue.db");
        zel::WriteDemoCatalogue(*zel::OpenCatalogueWriter(path));
        return path;
    }();
    const std::string file = dir.Write("input.csv", csv);
    const std::string before = zel::test::Snapshot(db);
    bool failed = false;
    try {
        const auto d = zel::OpenCatalogueWriter(db);
        zel::ImportFiles files;
        (taxes ? files.Taxes : files.Articles) = file;
        zel::ImportCatalogue(*d, files);
    } catch (const zel::ImportError&) {
        failed = true;
    }
    const std::string after = zel::test::Snapshot(db);
    if (failed) {
        zel::fuzz::Check(after == before, "a failed import changed the catalogue");
    } else if (after != before) {
        // Back to the demo catalogue, so every input starts from the same one.
        const auto d = zel::OpenCatalogueWriter(db);
        d->Exec("DELETE FROM Articulos");
        d->Exec("DELETE FROM Impuestos");
        zel::WriteDemoCatalogue(*d);
    }
    return 0;
}
