#pragma once

#include <string>

namespace relaymatrix::extensions::tidewire {

// Opt-in TLS settings. A default value keeps the built-in behaviour: TLS 1.2 only, a client
// trusting the system's CA store (SSL_CERT_FILE honoured), a server asking for no client
// certificate. Peer verification is never switched off. Files are PEM.
struct TLSOptions {
    // Trusted CAs, replacing the system store when either is set. A client checks the
    // server's chain against them; a server checks client certificates against them.
    std::string caFile;
    std::string caDirectory;  // hashed directory as made by `openssl rehash`
    // Client only: a certificate (chain) and its key, presented when a server asks.
    std::string certificateFile;
    std::string privateKeyFile;
    // Negotiate TLS 1.3 as well as 1.2.
    bool allowTLS13 = false;
    // Server only: refuse the TLS handshake of a client without a certificate that verifies
    // against caFile/caDirectory.
    bool requireClientCertificate = false;
};

}  // namespace relaymatrix::extensions::tidewire
