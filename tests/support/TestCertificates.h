#pragma once

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace tidewire_test {

// TLS material made at test time and written as PEM files to a fresh temporary folder:
// a test CA, a server certificate from it for "localhost" and 127.0.0.1, one from it for
// another name only, and one for "localhost" from a second CA that nobody trusts. EC P-256
// keys keep generation fast. The folder is removed when the process ends.
class TestCertificates {
public:
    std::string caFile;             // the trusted test CA's certificate
    std::string serverCertFile;     // localhost + 127.0.0.1, issued by the test CA
    std::string serverKeyFile;      // key of serverCertFile and otherHostCertFile
    std::string otherHostCertFile;  // "other.invalid" only, issued by the test CA
    std::string untrustedCertFile;  // localhost + 127.0.0.1, issued by an unknown CA
    std::string untrustedKeyFile;

    static const TestCertificates& get() {
        static const TestCertificates instance;
        return instance;
    }

    // Makes OpenSSL's default verify locations trust the test CA. Must run before a client
    // builds its TLS context.
    static void trustTestCa() { setenv("SSL_CERT_FILE", get().caFile.c_str(), 1); }

private:
    TestCertificates() {
        char pattern[] = "/tmp/tidewire-test-certs-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        directory = pattern;

        EVP_PKEY* caKey = EVP_EC_gen("P-256");
        X509* ca = makeCertificate(caKey, "Tidewire Test CA", nullptr, caKey, nullptr, true);
        EVP_PKEY* serverKey = EVP_EC_gen("P-256");
        X509* server =
            makeCertificate(serverKey, "localhost", ca, caKey, "DNS:localhost,IP:127.0.0.1", false);
        X509* other =
            makeCertificate(serverKey, "other.invalid", ca, caKey, "DNS:other.invalid", false);
        EVP_PKEY* rogueKey = EVP_EC_gen("P-256");
        X509* rogueCa =
            makeCertificate(rogueKey, "Untrusted Test CA", nullptr, rogueKey, nullptr, true);
        EVP_PKEY* untrustedKey = EVP_EC_gen("P-256");
        X509* untrusted = makeCertificate(untrustedKey, "localhost", rogueCa, rogueKey,
                                          "DNS:localhost,IP:127.0.0.1", false);

        caFile = writeCertificate("ca.pem", ca);
        serverCertFile = writeCertificate("server.pem", server);
        serverKeyFile = writeKey("server-key.pem", serverKey);
        otherHostCertFile = writeCertificate("other.pem", other);
        untrustedCertFile = writeCertificate("untrusted.pem", untrusted);
        untrustedKeyFile = writeKey("untrusted-key.pem", untrustedKey);

        for (X509* certificate : {ca, server, other, rogueCa, untrusted}) {
            X509_free(certificate);
        }
        for (EVP_PKEY* key : {caKey, serverKey, rogueKey, untrustedKey}) {
            EVP_PKEY_free(key);
        }
    }

    ~TestCertificates() {
        for (const std::string* file :
             {&caFile, &serverCertFile, &serverKeyFile, &otherHostCertFile, &untrustedCertFile,
              &untrustedKeyFile}) {
            std::remove(file->c_str());
        }
        rmdir(directory.c_str());
    }

    static void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, issuer != nullptr ? issuer : certificate, certificate, nullptr,
                       nullptr, 0);
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
        if (extension == nullptr) {
            throw std::runtime_error("X509V3_EXT_conf_nid failed");
        }
        X509_add_ext(certificate, extension, -1);
        X509_EXTENSION_free(extension);
    }

    X509* makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                          const char* subjectAltNames, bool isCa) {
        if (key == nullptr || issuerKey == nullptr) {
            throw std::runtime_error("key generation failed");
        }
        X509* certificate = X509_new();
        X509_set_version(certificate, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), ++serial);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 7 * 24 * 3600);
        X509_set_pubkey(certificate, key);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
        X509_set_issuer_name(certificate, issuer != nullptr ? X509_get_subject_name(issuer) : name);
        if (isCa) {
            addExtension(certificate, issuer, NID_basic_constraints, "critical,CA:TRUE");
            addExtension(certificate, issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
        } else {
            addExtension(certificate, issuer, NID_basic_constraints, "CA:FALSE");
            addExtension(certificate, issuer, NID_key_usage, "critical,digitalSignature");
            addExtension(certificate, issuer, NID_ext_key_usage, "serverAuth");
            addExtension(certificate, issuer, NID_subject_alt_name, subjectAltNames);
        }
        addExtension(certificate, issuer, NID_subject_key_identifier, "hash");
        if (issuer != nullptr) {
            addExtension(certificate, issuer, NID_authority_key_identifier, "keyid:always");
        }
        if (X509_sign(certificate, issuerKey, EVP_sha256()) == 0) {
            throw std::runtime_error("X509_sign failed");
        }
        return certificate;
    }

    std::string writeCertificate(const char* name, X509* certificate) {
        const std::string path = directory + "/" + name;
        FILE* file = std::fopen(path.c_str(), "w");
        if (file == nullptr || PEM_write_X509(file, certificate) != 1) {
            throw std::runtime_error("cannot write " + path);
        }
        std::fclose(file);
        return path;
    }

    std::string writeKey(const char* name, EVP_PKEY* key) {
        const std::string path = directory + "/" + name;
        FILE* file = std::fopen(path.c_str(), "w");
        if (file == nullptr ||
            PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
            throw std::runtime_error("cannot write " + path);
        }
        std::fclose(file);
        return path;
    }

    std::string directory;
    long serial = 0;
};

}  // namespace tidewire_test
