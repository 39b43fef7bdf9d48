// Requests as srv_zel decodes them, each carried out on a temporary demo
// catalogue: article lookups and provider queries, their bodies alone or
// inside the HTTP request that carries them, read as a connection reads it
// and routed by its path.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "FuzzInput.h"
#include "TempDir.h"
#include "server/RowSet.h"
#include "server/WireFormat.h"
#include "srv_zel/ArticleLookup.h"
#include "srv_zel/CatalogueStore.h"
#include "srv_zel/DemoCatalogue.h"
#include "srv_zel/HttpRequestReader.h"
#include "srv_zel/QueryProvider.h"
#include "srv_zel/Schema.h"

namespace {

zel::Database& Catalogue() {
    static const zel::test::TempDir dir;
    static zel::Database db = [] {
        const std::string path = dir.File("catalogue.db");
        zel::WriteDemoCatalogue(*zel::OpenCatalogueWriter(path));
        return zel::OpenCatalogueReadOnly(path);
    }();
    return db;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel::fuzz::FuzzInput input(data, size);
    const auto mode = input.Take<std::uint8_t>();
    bool lookup = mode & 1;
    std::string body = input.Rest();
    if (mode & 2) {
        zel::HttpRequestReader reader;
        boost::beast::flat_buffer buffer(zel::HttpRequestReader::BufferBytes({}));
        const std::size_t fits = std::min(body.size(), buffer.max_size());
        if (fits > 0) {
            std::memcpy(buffer.prepare(fits).data(), body.data(), fits);
            buffer.commit(fits);
        }
        if (reader.Feed(buffer) != zel::HttpRequestReader::Step::Done) {
            return 0;  // refused with its status before any handler
        }
        const zel::HttpRequest request = reader.Take();
        if (request.Method != "POST" ||
            (request.Path != zel::BUSCA_PRECIO_PATH && request.Path != zel::GET_RECORDS_PATH)) {
            return 0;  // answered 404
        }
        lookup = request.Path == zel::BUSCA_PRECIO_PATH;
        body = request.Body;
    }
    zel::Database& db = Catalogue();
    try {
        if (lookup) {
            static zel::ArticleLookup articles(db);
            const zel::BuscaPrecioCall reply = articles.Find(zel::DecodeBuscaPrecioRequest(body));
            (void)zel::EncodeBuscaPrecioReply(reply);
        } else {
            const zel::GetRecordsRequest request = zel::DecodeGetRecordsRequest(body);
            zel::QueryLimits limits;
            limits.MaxTime = std::chrono::milliseconds(200);
            limits.MaxRows = 1000;
            limits.MaxBytes = 1u << 20;
            (void)zel::EncodeRowSet(
                zel::RunProviderQuery(db, request.ProviderName, request.CommandText, limits));
        }
    } catch (const std::runtime_error&) {
        // A refused request, a database error or a stored value that does not
        // fit its parameter: each is answered as an error.
    }
    return 0;
}
