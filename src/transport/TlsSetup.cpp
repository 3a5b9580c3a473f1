#include "TlsSetup.h"

#include <openssl/ssl.h>

#include <sys/stat.h>
#include <stdexcept>
#include <system_error>

namespace relaymatrix::extensions::tidewire {

void applyTLSOptions(asio::ssl::context& context, const TLSOptions& options, TlsRole role) {
    SSL_CTX* native = context.native_handle();
    if (SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(native,
                                      options.allowTLS13 ? TLS1_3_VERSION : TLS1_2_VERSION) != 1) {
        throw std::system_error(std::make_error_code(std::errc::protocol_not_supported),
                                "TLS version bounds");
    }
    context.set_options(asio::ssl::context::no_compression);

    if (!options.caFile.empty()) {
        context.load_verify_file(options.caFile);
    }
    if (!options.caDirectory.empty()) {
        // OpenSSL only looks into the directory when verifying; a wrong path must fail here.
        struct stat info {};
        if (stat(options.caDirectory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            throw std::system_error(std::make_error_code(std::errc::no_such_file_or_directory),
                                    "TLS CA directory " + options.caDirectory);
        }
        context.add_verify_path(options.caDirectory);
    }
    if (options.caFile.empty() && options.caDirectory.empty() && role == TlsRole::client) {
        context.set_default_verify_paths();
    }

    if (options.certificateFile.empty() != options.privateKeyFile.empty()) {
        throw std::invalid_argument("TLS certificateFile and privateKeyFile go together");
    }
    if (!options.certificateFile.empty()) {
        context.use_certificate_chain_file(options.certificateFile);
        context.use_private_key_file(options.privateKeyFile, asio::ssl::context::pem);
    }

    if (role == TlsRole::client) {
        context.set_verify_mode(asio::ssl::verify_peer);
    } else if (options.requireClientCertificate) {
        if (options.caFile.empty() && options.caDirectory.empty()) {
            throw std::invalid_argument("requireClientCertificate needs caFile or caDirectory");
        }
        if (!options.caFile.empty()) {
            // Named in the certificate request, so a client holding several can pick.
            SSL_CTX_set_client_CA_list(native, SSL_load_client_CA_file(options.caFile.c_str()));
        }
        // Resumed sessions of verified clients need a context to belong to.
        static const unsigned char sessionContext[] = "tidewire";
        SSL_CTX_set_session_id_context(native, sessionContext, sizeof sessionContext - 1);
        context.set_verify_mode(asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert);
    }
}

}  // namespace relaymatrix::extensions::tidewire
