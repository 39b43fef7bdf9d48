#include "server/AccessKey.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "common/Text.h"
#include "server/ServerError.h"

namespace zel {

namespace {

using Digest = std::array<unsigned char, EVP_MAX_MD_SIZE>;

Digest Sha256(std::string_view text) {
    Digest d{};
    unsigned size = 0;
    EVP_Digest(text.data(), text.size(), d.data(), &size, EVP_sha256(), nullptr);
    return d;
}

}  // namespace

std::string ReadAccessKey(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ServerError("access key file \"" + path + "\": " + std::strerror(errno));
    }
    const std::string text(std::istreambuf_iterator<char>(in), {});
    const std::string key(Trim(text, " \t\r\n"));
    if (key.empty()) {
        throw ServerError("access key file \"" + path + "\" is empty");
    }
    for (char c : key) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x21 || u > 0x7E) {
            throw ServerError("access key file \"" + path +
                              "\": the key may hold only visible ASCII characters");
        }
    }
    return key;
}

bool CarriesAccessKey(std::string_view authorization, std::string_view key) {
    // Digests of equal length, compared whole: no early exit to time.
    const bool prefixed = authorization.starts_with(BEARER_PREFIX);
    const Digest given =
        Sha256(prefixed ? authorization.substr(BEARER_PREFIX.size()) : authorization);
    const Digest wanted = Sha256(key);
    return (CRYPTO_memcmp(given.data(), wanted.data(), given.size()) == 0) && prefixed &&
           !key.empty();
}

}  // namespace zel
