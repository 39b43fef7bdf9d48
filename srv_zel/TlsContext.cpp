#include "srv_zel/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <stdexcept>

namespace zel {

namespace {

// TLS 1.2 suites: ECDHE key exchange and AEAD ciphers, strongest first.
constexpr const char* TLS12_SUITES =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256";
constexpr const char* GROUPS = "X25519:P-256:P-384";

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

boost::asio::ssl::context MakeServerTlsContext(const std::string& certificateFile,
                                               const std::string& keyFile) {
    boost::asio::ssl::context context(boost::asio::ssl::context::tls_server);
    SSL_CTX* ctx = context.native_handle();
    ERR_clear_error();
    const auto fail = [&](const char* fallback) {
        throw std::runtime_error("certificate \"" + certificateFile + "\" with key \"" + keyFile +
                                 "\": " + OpenSslReason(fallback));
    };
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // Released buffers: an idle connection holds none.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_options(
        ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION);
    if (SSL_CTX_set_cipher_list(ctx, TLS12_SUITES) != 1 ||
        SSL_CTX_set1_groups_list(ctx, GROUPS) != 1) {
        fail("the TLS suites are not available");
    }
    if (SSL_CTX_use_certificate_chain_file(ctx, certificateFile.c_str()) != 1) {
        fail("the certificate cannot be read");
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        fail("the key cannot be read");
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        fail("the key is not the certificate's");
    }
    return context;
}

}  // namespace zel
