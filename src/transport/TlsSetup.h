#pragma once

#include <openssl/ssl.h>

#include <asio/ssl/context.hpp>
#include <string>
#include <system_error>

#include "tidewire/TLSOptions.h"

namespace relaymatrix::extensions::tidewire {

enum class TlsRole { client, server };

// Applies `options` to a context made with a TLS 1.2 method (tlsv12_client or tlsv12_server),
// before any stream is made from it, so every connection object inherits the settings:
// - versions: TLS 1.2 only, or 1.2 and 1.3 with allowTLS13;
// - trust: caFile and/or caDirectory replace the system store; without either, a client
//   loads the system store (SSL_CERT_FILE honoured) and a server loads nothing;
// - own certificate chain and key, when certificateFile is set (privateKeyFile with it);
// - peer verification: a client always verifies the server; a server with
//   requireClientCertificate refuses a client without a certificate that verifies, and asks
//   for none otherwise.
// Throws std::system_error when a file or directory cannot be loaded or the key does not
// match the certificate; std::invalid_argument when only one of certificate and key is set,
// or a server requires client certificates without caFile or caDirectory to check them.
void applyTLSOptions(asio::ssl::context& context, const TLSOptions& options, TlsRole role);

// Loads a PEM certificate chain and its private key; a file that cannot be loaded throws
// std::system_error naming it ("TLS certificate file /etc/x.pem: ...").
void loadCertificateAndKey(asio::ssl::context& context, const std::string& certificateFile,
                           const std::string& privateKeyFile);

// The text of a failed client TLS handshake: `ec`'s message, and when the server's
// certificate did not pass, OpenSSL's reason for it and, for a name or address that does not
// match, the one checked: "certificate verify failed (SSL routines): hostname mismatch
// (checked \"localhost\")".
std::string tlsHandshakeFailureText(const std::error_code& ec, SSL* ssl,
                                    const std::string& checkedName);

}  // namespace relaymatrix::extensions::tidewire
