#include "tidewire/SHA1Hash.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace relaymatrix::extensions::tidewire {

// EVP_Digest is OpenSSL 3's one-shot digest; the SHA1() shortcut is deprecated there.
std::vector<uint8_t> SHA1Hash::hash(const std::string& data) {
    std::vector<uint8_t> digest(20);
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha1(), nullptr) != 1 ||
        size != digest.size()) {
        throw std::runtime_error("SHA-1 digest unavailable");
    }
    return digest;
}

}  // namespace relaymatrix::extensions::tidewire
