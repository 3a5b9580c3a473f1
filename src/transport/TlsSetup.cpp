#include "TlsSetup.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <asio/ssl/error.hpp>

#include <sys/stat.h>
#include <stdexcept>
#include <system_error>

namespace relaymatrix::extensions::tidewire {

namespace {

// asio's own text names only the OpenSSL call; the host needs to know which file to fix.
template <class Load>
void loadFile(const char* what, const std::string& file, Load&& load) {
    try {
        load();
    } catch (const std::system_error& e) {
        throw std::system_error(e.code(), std::string(what) + " " + file);
    }
}

}  // namespace

void loadCertificateAndKey(asio::ssl::context& context, const std::string& certificateFile,
                           const std::string& privateKeyFile) {
    loadFile("TLS certificate file", certificateFile,
             [&] { context.use_certificate_chain_file(certificateFile); });
    loadFile("TLS private key file", privateKeyFile,
             [&] { context.use_private_key_file(privateKeyFile, asio::ssl::context::pem); });
}

std::string tlsHandshakeFailureText(const std::error_code& ec, SSL* ssl,
                                    const std::string& checkedName) {
    std::string text = ec.message();
    if (ec.category() != asio::error::get_ssl_category() ||
        ERR_GET_REASON(static_cast<unsigned long>(ec.value())) != SSL_R_CERTIFICATE_VERIFY_FAILED) {
        return text;
    }
    const long result = SSL_get_verify_result(ssl);
    if (result == X509_V_OK) {
        return text;
    }
    text += ": ";
    text += X509_verify_cert_error_string(result);
    if (result == X509_V_ERR_HOSTNAME_MISMATCH || result == X509_V_ERR_IP_ADDRESS_MISMATCH) {
        text += " (checked \"" + checkedName + "\")";
    }
    return text;
}

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
        loadFile("TLS CA file", options.caFile, [&] { context.load_verify_file(options.caFile); });
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
        loadCertificateAndKey(context, options.certificateFile, options.privateKeyFile);
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
