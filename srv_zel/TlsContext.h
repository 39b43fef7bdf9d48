// TlsContext: the server's certificate chain and private key, loaded once,
// and TlsStream, the TLS side of one accepted non-blocking connection. The
// stream never waits: each call does what the socket allows and says which
// readiness it needs to go on, so one event loop drives many handshakes,
// reads and writes. A stream is used by one thread only.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

struct ssl_ctx_st;
struct ssl_st;

namespace zel {

// The outcome of one step.
enum class TlsIo { Done, WantRead, WantWrite, Closed, Failed };

class TlsStream {
public:
    TlsStream(ssl_st* ssl, int fd);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    TlsIo Handshake();
    // Done with n > 0 bytes read or written.
    TlsIo Read(char* buffer, std::size_t size, std::size_t& n);
    TlsIo Write(const char* data, std::size_t size, std::size_t& n);
    // Decrypted bytes, or bytes of a record, wait inside: no readiness would
    // tell of them.
    bool Buffered() const;
    // Sends the closing alert if the socket takes it now.
    void Close();
    // Why the last step failed, as OpenSSL puts it.
    const std::string& Error() const { return error_; }

private:
    TlsIo Outcome(int rc);

    ssl_st* ssl_;
    std::string error_;
};

class TlsContext {
public:
    // Throws std::runtime_error naming both files and OpenSSL's reason when
    // they cannot be read or the key is not the certificate's.
    TlsContext(const std::string& certificateFile, const std::string& keyFile);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // The server side of a connection on fd (which stays the caller's).
    std::unique_ptr<TlsStream> Accept(int fd);

private:
    ssl_ctx_st* ctx_;
};

}  // namespace zel
