#include "srv_zel/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <stdexcept>

namespace zel {

namespace {

// The first reason on this thread's OpenSSL error queue, which is emptied.
std::string OpenSslReason(const char* fallback) {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) {
        return fallback;
    }
    char why[256];
    ERR_error_string_n(e, why, sizeof why);
    return why;
}

}  // namespace

TlsContext::TlsContext(const std::string& certificateFile, const std::string& keyFile)
    : ctx_(SSL_CTX_new(TLS_server_method())) {
    ERR_clear_error();
    const auto fail = [&](const char* fallback) {
        const std::string why = OpenSslReason(fallback);
        SSL_CTX_free(ctx_);
        throw std::runtime_error("certificate \"" + certificateFile + "\" with key \"" + keyFile +
                                 "\": " + why);
    };
    if (ctx_ == nullptr) {
        fail("no TLS context");
    }
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    // Moving and partial writes: the answer's buffer is a string that may
    // grow between tries. Released buffers: an idle connection holds none.
    SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                               SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_options(ctx_, SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_use_certificate_chain_file(ctx_, certificateFile.c_str()) != 1) {
        fail("the certificate cannot be read");
    }
    if (SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        fail("the key cannot be read");
    }
    if (SSL_CTX_check_private_key(ctx_) != 1) {
        fail("the key is not the certificate's");
    }
}

TlsContext::~TlsContext() {
    SSL_CTX_free(ctx_);
}

std::unique_ptr<TlsStream> TlsContext::Accept(int fd) {
    SSL* ssl = SSL_new(ctx_);
    if (ssl == nullptr) {
        throw std::runtime_error("TLS: " + OpenSslReason("out of memory"));
    }
    return std::make_unique<TlsStream>(ssl, fd);
}

TlsStream::TlsStream(SSL* ssl, int fd) : ssl_(ssl) {
    SSL_set_fd(ssl_, fd);
    SSL_set_accept_state(ssl_);
}

TlsStream::~TlsStream() {
    SSL_free(ssl_);
}

TlsIo TlsStream::Outcome(int rc) {
    switch (SSL_get_error(ssl_, rc)) {
        case SSL_ERROR_WANT_READ:
            return TlsIo::WantRead;
        case SSL_ERROR_WANT_WRITE:
            return TlsIo::WantWrite;
        case SSL_ERROR_ZERO_RETURN:
            return TlsIo::Closed;
        default:
            error_ = OpenSslReason("the connection ended");
            return TlsIo::Failed;
    }
}

TlsIo TlsStream::Handshake() {
    ERR_clear_error();
    const int rc = SSL_do_handshake(ssl_);
    return rc == 1 ? TlsIo::Done : Outcome(rc);
}

TlsIo TlsStream::Read(char* buffer, std::size_t size, std::size_t& n) {
    ERR_clear_error();
    const int rc = SSL_read_ex(ssl_, buffer, size, &n);
    return rc == 1 ? TlsIo::Done : Outcome(rc);
}

TlsIo TlsStream::Write(const char* data, std::size_t size, std::size_t& n) {
    ERR_clear_error();
    const int rc = SSL_write_ex(ssl_, data, size, &n);
    return rc == 1 ? TlsIo::Done : Outcome(rc);
}

bool TlsStream::Buffered() const {
    return SSL_has_pending(ssl_) == 1;
}

void TlsStream::Close() {
    ERR_clear_error();
    if (SSL_shutdown(ssl_) < 0) {
        ERR_clear_error();
    }
}

}  // namespace zel
