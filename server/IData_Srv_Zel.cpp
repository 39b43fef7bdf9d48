#include "server/IData_Srv_Zel.h"

#include <curl/curl.h>

#include "server/WireFormat.h"

namespace zel {

namespace {

std::string_view NameOf(IData_Srv_Zel::Operation operation) {
    switch (operation) {
        case IData_Srv_Zel::Operation::Create:
            return "create";
        case IData_Srv_Zel::Operation::GetRecords:
            return "AS_GetRecords";
        case IData_Srv_Zel::Operation::BuscaPrecio:
            break;
    }
    return "BuscaPrecio";
}

}  // namespace

IData_Srv_Zel::IData_Srv_Zel(std::vector<ServerLocation> locations, std::string className,
                             ClientTimeouts timeouts, ClientCredentials credentials)
    : locations_(std::move(locations)),
      className_(std::move(className)),
      classPath_(std::string(CLASSES_PATH) + PercentEncode(className_)),
      timeouts_(timeouts),
      credentials_(std::move(credentials)),
      health_(locations_.size(), WallClock::now()) {
    if (locations_.empty()) {
        throw ServerError(className_ + ": no server address");
    }
}

void IData_Srv_Zel::Create() {
    Call(Operation::Create);
}

RowSet IData_Srv_Zel::AS_GetRecords(const std::string& providerName,
                                    const std::string& commandText) {
    const std::string answer =
        Call(Operation::GetRecords, EncodeGetRecordsRequest({providerName, commandText}));
    try {
        return DecodeRowSet(answer);
    } catch (const WireError& e) {
        throw ServerError(
            FailureText(answered_, Operation::GetRecords, std::string("answer: ") + e.what()),
            ServerFailure::BadAnswer);
    }
}

std::string IData_Srv_Zel::Call(Operation operation, std::string body) {
    const std::vector<std::size_t> order = Order();
    for (std::size_t turn = 0;; ++turn) {
        Prepare(exchange_, order[turn], operation, body, timeouts_.Read, timeouts_.Connect);
        const Verdict verdict =
            Judge(exchange_, order[turn], operation, curl_easy_perform(exchange_.Handle()));
        if (verdict.Answered) {
            answered_ = order[turn];
            return exchange_.Body();
        }
        if (!verdict.TryNext || turn + 1 == order.size()) {
            throw ServerError(verdict.Words, verdict.Kind);
        }
    }
}

void IData_Srv_Zel::Prepare(HttpExchange& exchange, std::size_t address, Operation operation,
                            std::string body, std::chrono::milliseconds limit,
                            std::chrono::milliseconds connectLimit) const {
    const bool post = operation != Operation::Create;
    const std::string_view path = operation == Operation::Create       ? classPath_
                                  : operation == Operation::GetRecords ? GET_RECORDS_PATH
                                                                       : BUSCA_PRECIO_PATH;
    exchange.Prepare(locations_[address], credentials_, path, post, std::move(body), limit,
                     connectLimit);
}

IData_Srv_Zel::Verdict IData_Srv_Zel::Judge(HttpExchange& exchange, std::size_t address,
                                            Operation operation, int code) {
    HttpExchange::Ending ending = exchange.Conclude(code);
    const bool check = operation == Operation::Create;
    if (check && ending.Answered) {
        // Only the class asked for is an answer of the server.
        try {
            if (const std::string offered = DecodeClassReply(exchange.Body());
                offered != className_) {
                ending = {false, ServerFailure::BadAnswer,
                          "the server offers class \"" + offered + "\", not the one asked for"};
            }
        } catch (const WireError& e) {
            ending = {false, ServerFailure::BadAnswer,
                      "not a " + className_ + " server: " + e.what()};
        }
    }
    Verdict verdict;
    verdict.Answered = ending.Answered;
    verdict.Kind = ending.Kind;
    // An error status or a broken answer to a lookup or a query is still a
    // server that answers; to the class check it is no server of the class.
    verdict.Reached = ending.Answered || (!check && (ending.Kind == ServerFailure::HttpStatus ||
                                                     ending.Kind == ServerFailure::BadAnswer));
    verdict.TryNext = !verdict.Reached && ending.NextAddress;
    if (!ending.Answered) {
        verdict.Words = FailureText(address, operation, ending.What);
    }
    verdict.Changed = verdict.Reached
                          ? health_.Answered(address, WallClock::now())
                          : health_.Unreachable(address, verdict.Words, WallClock::now());
    return verdict;
}

std::string IData_Srv_Zel::FailureText(std::size_t address, Operation operation,
                                       std::string_view what) const {
    return CallFailureText(className_, locations_[address], NameOf(operation), what);
}

}  // namespace zel
