#include "srv_zel/HttpSession.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <type_traits>

#include "srv_zel/CancelSignal.h"
#include "srv_zel/HttpRequestReader.h"

namespace zel {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t READ_CHUNK = 16u << 10;
// Beast's TLS stream hands an answer's header and body to OpenSSL as one
// write, where asio's alone would send a record (and a segment) for each.
using TlsStream = boost::beast::ssl_stream<tcp::socket>;
// After an answer that closes, what the client still sends is read and
// dropped this long, so that closing with unread bytes (which resets the
// connection) does not destroy the answer before the client has read it.
constexpr auto DRAIN_TIME = std::chrono::milliseconds(1000);

}  // namespace

void SetClient(HttpRequest& request, const tcp::endpoint& peer) {
    const auto address = peer.address();
    request.RemoteAddress = address.is_v6() && address.to_v6().is_v4_mapped()
                                ? address.to_v6().to_v4().to_string()
                                : address.to_string();
    request.RemotePort = peer.port();
}

http::response<http::string_body> BeastResponse(HttpResponse answer, bool keepAlive, bool head) {
    http::response<http::string_body> out{static_cast<http::status>(answer.Status), 11};
    if (!answer.ContentType.empty()) {
        out.set(http::field::content_type, answer.ContentType);
    }
    for (const auto& [name, value] : answer.Headers) {
        out.insert(name, value);
    }
    out.keep_alive(keepAlive);
    if (head) {
        out.content_length(answer.Body.size());
    } else {
        out.body() = std::move(answer.Body);
        out.prepare_payload();
    }
    return out;
}

namespace {

template <class Stream>
class Session final : public HttpConnection, public std::enable_shared_from_this<Session<Stream>> {
public:
    static constexpr bool TLS = !std::is_same_v<Stream, tcp::socket>;

    Session(ServingContext& server, IoLoop& loop, tcp::socket socket)
        : server_(server),
          loop_(loop),
          stream_(MakeStream(server, std::move(socket))),
          buffer_(HttpRequestReader::BufferBytes(server.Options.Limits)),
          reader_(server.Options.Limits,
                  [&budget = server.Budget](std::size_t bytes) { return budget.Charge(bytes); }) {}

    void Start() {
        loop_.Add(this->shared_from_this());
        auto& socket = boost::beast::get_lowest_layer(stream_);
        error_code ec;
        socket.set_option(tcp::no_delay(true), ec);
        const auto peer = socket.remote_endpoint(ec);
        if (!ec) {
            SetClient(about_, peer);
        }
        if constexpr (TLS) {
            phase_ = Phase::Handshake;
            SetDeadline(Options().RequestTimeLimit);  // the handshake has a request's time
            stream_.async_handshake(
                asio::ssl::stream_base::server,
                [self = this->shared_from_this()](const error_code& e) { self->OnHandshake(e); });
        } else {
            StartReading();
        }
    }

    void StopSoon() override {
        if (phase_ == Phase::Working) {
            if (gone_) {
                gone_->Cancel();
            }
            keepAlive_ = false;
            closeAfterWrite_ = true;
        } else if (phase_ == Phase::Writing) {
            closeAfterWrite_ = true;
        } else {
            Close();
        }
    }

    void CheckDeadline(Clock::time_point now) override {
        if (closed_) {
            return;
        }
        if (phase_ == Phase::Reading && !requestTimed_ &&
            (buffer_.size() > 0 || reader_.Beast().got_some())) {
            requestTimed_ = true;  // a request's first bytes came: its own time runs
            SetIdle(false);
            deadline_ = now + Options().RequestTimeLimit;
            return;
        }
        if (now < deadline_) {
            return;
        }
        if (phase_ == Phase::Reading && requestTimed_ && !writing_) {
            Refuse(408, "the request did not come whole within " +
                            std::to_string(Options().RequestTimeLimit.count()) + " ms");
            return;
        }
        Close();
    }

    void CloseIfIdle() override {
        if (phase_ == Phase::Reading && buffer_.size() == 0 && !reader_.Beast().got_some()) {
            Close();
        }
    }

private:
    enum class Phase { Handshake, Reading, Working, Writing, Draining };
    using Step = HttpRequestReader::Step;

    static Stream MakeStream(ServingContext& server, tcp::socket socket) {
        if constexpr (TLS) {
            return Stream(std::move(socket), *server.Tls);
        } else {
            return socket;
        }
    }

    const HttpServerOptions& Options() const { return server_.Options; }

    void OnHandshake(const error_code& ec) {
        if (closed_) {
            return;
        }
        if (ec) {
            if (auto line = server_.HandshakeFailures.Admit(
                    "TLS handshake with " + about_.RemoteAddress + ":" +
                    std::to_string(about_.RemotePort) + " failed: " + ec.message())) {
                server_.Notice(*line);
            }
            Close();
            return;
        }
        StartReading();
    }

    void StartReading() {
        phase_ = Phase::Reading;
        requestTimed_ = false;
        about_.Method.clear();
        about_.Target.clear();
        about_.Path.clear();
        SetDeadline(Options().IdleLimit);
        SetIdle(buffer_.size() == 0);
        ReadHead();
    }

    void ReadHead() {
        if (reading_) {
            return;  // the watch under way goes on with the head when it ends
        }
        reading_ = true;
        http::async_read_header(
            stream_, buffer_, reader_.Beast(),
            [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                self->reading_ = false;
                self->OnRead(ec, true);
            });
    }

    void ReadBody() {
        reading_ = true;
        http::async_read(stream_, buffer_, reader_.Beast(),
                         [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                             self->reading_ = false;
                             self->OnRead(ec, false);
                         });
    }

    void OnRead(const error_code& ec, bool head) {
        if (closed_) {
            return;
        }
        if (phase_ != Phase::Reading) {
            GoOnReading();  // the request was refused meanwhile
            return;
        }
        SetIdle(false);
        if (!HttpRequestReader::AboutTheRequest(ec)) {
            Close();  // the client went or reset, with nothing under way
            return;
        }
        Act(head ? reader_.HeadRead(ec, buffer_) : reader_.BodyRead(ec));
    }

    void Act(Step step) {
        Name();
        switch (step) {
            case Step::ReadHead:
                ReadHead();
                return;
            case Step::Failed:
                Refuse(reader_.ErrorStatus(), reader_.ErrorReason());
                return;
            case Step::Done:
                Serve(reader_.Take());
                return;
            case Step::ReadBody:
                break;
        }
        if (!reader_.WantsContinue()) {
            ReadBody();
            return;
        }
        writing_ = true;
        http::async_write(stream_, continue_,
                          [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                              self->writing_ = false;
                              if (self->closed_) {
                                  return;
                              }
                              if (ec) {
                                  self->Close();
                                  return;
                              }
                              self->ReadBody();
                          });
    }

    // The request's line for the access callback, as far as it is known.
    void Name() {
        if (!about_.Method.empty()) {
            return;
        }
        // Beast takes the request line as soon as it is whole.
        if (const auto& m = reader_.Beast().get(); !m.method_string().empty()) {
            about_.Method = std::string(m.method_string());
            about_.Target = std::string(m.target());
            about_.Path = about_.Target.substr(0, about_.Target.find('?'));
        }
    }

    void Serve(HttpRequest request) {
        request.RemoteAddress = about_.RemoteAddress;
        request.RemotePort = about_.RemotePort;
        gone_ = std::make_shared<CancelSignal>();
        request.Gone = gone_;
        phase_ = Phase::Working;
        SetDeadline(Clock::duration::max());  // the lanes keep their own time
        head_ = request.Method == "HEAD";
        keepAlive_ = request.KeepAlive && !server_.Stopping && !closeAfterWrite_;
        const HttpServer::Callbacks& cb = server_.Cb;
        if (cb.Allowed && !cb.Allowed(request)) {
            Refuse(401, "access key refused");
            return;
        }
        const std::size_t lane = cb.Lane ? cb.Lane(request) : 0;
        if (lane == HttpServer::IN_PLACE) {
            std::chrono::microseconds spent{};
            HttpResponse answer = server_.Answer(request, spent);
            Respond(std::move(answer), spent);
            return;
        }
        Watch();
        const auto self = this->shared_from_this();
        const auto guard = asio::make_work_guard(loop_.Context);
        LaneJob job;
        job.Gone = gone_;
        job.Run = [self, guard, request = std::move(request)] {
            std::chrono::microseconds spent{};
            HttpResponse answer = self->server_.Answer(request, spent);
            asio::post(self->loop_.Context, [self, guard, a = std::move(answer), spent]() mutable {
                self->Respond(std::move(a), spent);
            });
        };
        job.Drop = [self, guard] {
            asio::post(self->loop_.Context, [self, guard] { self->Close(); });
        };
        if (!server_.Lanes.Dispatch(lane, std::move(job))) {
            Refuse(503, "too many requests of this kind waiting; try again later");
        }
    }

    // While a request is served or its answer sent, and while draining: reads
    // what the client sends, to see it go.
    void Watch() {
        if (reading_ || closed_ || buffer_.size() + READ_CHUNK > buffer_.max_size()) {
            return;
        }
        reading_ = true;
        stream_.async_read_some(
            buffer_.prepare(READ_CHUNK),
            [self = this->shared_from_this()](const error_code& ec, std::size_t n) {
                self->reading_ = false;
                self->OnWatch(ec, n);
            });
    }

    void OnWatch(const error_code& ec, std::size_t n) {
        if (closed_) {
            return;
        }
        buffer_.commit(n);
        if (ec) {
            Close();  // the client went: so does what was under way for it
            return;
        }
        GoOnReading();
    }

    // A read that ended in another phase than the one it began in.
    void GoOnReading() {
        switch (phase_) {
            case Phase::Reading:
                ReadHead();
                return;
            case Phase::Draining:
                buffer_.consume(buffer_.size());
                Watch();
                return;
            case Phase::Working:
            case Phase::Writing:
                Watch();
                return;
            case Phase::Handshake:
                return;
        }
    }

    void Respond(HttpResponse answer, std::chrono::microseconds spent) {
        if (closed_) {
            // The client left while its request was served: nothing is sent,
            // but the access log and the metrics still tell what it cost.
            if (server_.Cb.OnAnswer) {
                server_.Cb.OnAnswer(about_, answer, spent);
            }
            return;
        }
        gone_.reset();
        server_.Budget.Release(reader_.TakeCharged());
        if (server_.Budget.Charge(answer.Body.size())) {
            answerCharged_ = answer.Body.size();
        } else {
            answer = server_.Cb.Error(503, std::string(BUDGET_FULL));
            keepAlive_ = false;
        }
        if (server_.Cb.OnAnswer) {
            server_.Cb.OnAnswer(about_, answer, spent);
        }
        Write(BeastResponse(std::move(answer), keepAlive_, head_), !keepAlive_);
    }

    // Answers the server's own refusal and closes after it.
    void Refuse(int status, const std::string& reason) {
        Name();
        gone_.reset();
        server_.Budget.Release(reader_.TakeCharged());
        HttpResponse answer = server_.Cb.Error(status, reason);
        if (server_.Cb.OnAnswer) {
            server_.Cb.OnAnswer(about_, answer, std::chrono::microseconds(0));
        }
        Write(BeastResponse(std::move(answer), false, about_.Method == "HEAD"), true);
    }

    void Write(http::response<http::string_body> answer, bool close) {
        phase_ = Phase::Writing;
        closeAfterWrite_ = closeAfterWrite_ || close;
        SetDeadline(Options().WriteTimeLimit);
        answer_ = std::move(answer);
        writing_ = true;
        http::async_write(stream_, answer_,
                          [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                              self->writing_ = false;
                              self->OnWritten(ec);
                          });
    }

    void OnWritten(const error_code& ec) {
        if (closed_) {
            return;
        }
        if (ec) {
            Close();
            return;
        }
        answer_ = {};
        server_.Budget.Release(std::exchange(answerCharged_, 0));
        if (!closeAfterWrite_) {
            StartReading();
            return;
        }
        error_code ignored;
        boost::beast::get_lowest_layer(stream_).shutdown(tcp::socket::shutdown_send, ignored);
        if (server_.Stopping) {
            Close();
            return;
        }
        phase_ = Phase::Draining;
        SetDeadline(DRAIN_TIME);
        buffer_.consume(buffer_.size());
        Watch();
    }

    void SetDeadline(Clock::duration limit) {
        deadline_ =
            limit == Clock::duration::max() ? Clock::time_point::max() : Clock::now() + limit;
    }

    void Close() {
        if (closed_) {
            return;
        }
        closed_ = true;
        const auto self = this->shared_from_this();  // the loop may hold the last one
        if (gone_) {
            gone_->Cancel();
        }
        SetIdle(false);
        server_.Budget.Release(reader_.TakeCharged());
        server_.Budget.Release(std::exchange(answerCharged_, 0));
        error_code ignored;
        boost::beast::get_lowest_layer(stream_).close(ignored);
        loop_.Remove(this);
        --server_.Connections;
    }

    ServingContext& server_;
    IoLoop& loop_;
    Stream stream_;
    boost::beast::flat_buffer buffer_;  // read and not yet taken by a request
    HttpRequestReader reader_;
    http::response<http::string_body> answer_;
    http::response<http::empty_body> continue_{http::status::continue_, 11};
    HttpRequest about_;                   // the request's line and client, for the access callback
    std::shared_ptr<CancelSignal> gone_;  // of the request under way
    Clock::time_point deadline_;
    Phase phase_ = Phase::Reading;
    std::size_t answerCharged_ = 0;
    bool reading_ = false;
    bool writing_ = false;
    bool closed_ = false;
    bool closeAfterWrite_ = false;
    bool keepAlive_ = true;
    bool head_ = false;
    bool requestTimed_ = false;
};

}  // namespace

void StartSession(ServingContext& context, IoLoop& loop, tcp::socket socket) {
    if (context.Stopping) {
        --context.Connections;
        return;
    }
    if (context.Tls) {
        std::make_shared<Session<TlsStream>>(context, loop, std::move(socket))->Start();
    } else {
        std::make_shared<Session<tcp::socket>>(context, loop, std::move(socket))->Start();
    }
}

}  // namespace zel
