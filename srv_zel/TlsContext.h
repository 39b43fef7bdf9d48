// TlsContext: the server's TLS configuration, as a careful operator sets it:
// TLS 1.3, and TLS 1.2 with forward-secret AEAD suites only (ECDHE with
// AES-GCM or ChaCha20-Poly1305) in the server's order, no renegotiation, the
// certificate chain and private key loaded once.
#pragma once

#include <boost/asio/ssl/context.hpp>
#include <string>

namespace zel {

// Throws std::runtime_error naming both files and OpenSSL's reason when
// they cannot be read or the key is not the certificate's.
boost::asio::ssl::context MakeServerTlsContext(const std::string& certificateFile,
                                               const std::string& keyFile);

}  // namespace zel
