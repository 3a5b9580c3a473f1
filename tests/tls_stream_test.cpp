// The TLS stream against a peer whose records we cut by hand (OpenSSL on memory BIOs): what
// the stream must do when OpenSSL already holds part of what a read waits for.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <asio.hpp>
#include <asio/ssl/context.hpp>
#include <chrono>
#include <functional>
#include <memory>

#include "Support.h"
#include "transport/TlsStream.h"

namespace {

using namespace tidewire_test;
using relaymatrix::extensions::tidewire::TlsStream;
using tcp = asio::ip::tcp;

// A TLS client on a blocking socket whose ciphertext the test hands over itself.
struct HandCutClient {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context{SSL_CTX_new(TLS_client_method()),
                                                              SSL_CTX_free};
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl{SSL_new(context.get()), SSL_free};
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    tcp::socket& socket;

    explicit HandCutClient(tcp::socket& socket) : socket(socket) {
        SSL_set_bio(ssl.get(), in, out);
        SSL_set_connect_state(ssl.get());
    }
    Bytes ciphertext() {
        Bytes bytes(static_cast<size_t>(BIO_pending(out)));
        BIO_read(out, bytes.data(), static_cast<int>(bytes.size()));
        return bytes;
    }
    // One round of the handshake: what the client has to say goes out, what came is fed in.
    bool handshakeStep() {
        const bool done = SSL_do_handshake(ssl.get()) == 1;
        asio::write(socket, asio::buffer(ciphertext()));
        uint8_t buffer[16384];
        std::error_code ec;
        socket.non_blocking(true);
        const size_t got = socket.read_some(asio::buffer(buffer), ec);
        socket.non_blocking(false);
        BIO_write(in, buffer, static_cast<int>(got));
        return done;
    }
};

// The peer has sent all of a record but its last bytes, and OpenSSL holds the rest: the next
// read must wake for those last bytes, however much plain text it still expects.
TEST(TlsStream, ReadWakesForTheLastBytesOfARecordOpenSslHolds) {
    asio::io_context loop;
    tcp::acceptor acceptor(loop, {asio::ip::make_address("127.0.0.1"), 0});
    tcp::socket serverSide(loop), clientSide(loop);
    clientSide.connect(acceptor.local_endpoint());
    acceptor.accept(serverSide);
    asio::ssl::context context(asio::ssl::context::tls_server);
    context.use_certificate_chain_file(Certificates::get().cert);
    context.use_private_key_file(Certificates::get().key, asio::ssl::context::pem);
    TlsStream stream(serverSide, context);
    HandCutClient client(clientSide);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto timedOut = [&] { return std::chrono::steady_clock::now() > deadline; };

    bool shaken = false;
    stream.async_handshake(asio::ssl::stream_base::server, [&](std::error_code ec) {
        EXPECT_FALSE(ec) << ec.message();
        shaken = true;
    });
    while (!(client.handshakeStep() && shaken) && !timedOut())
        loop.poll();
    ASSERT_TRUE(shaken);
    loop.restart();  // out of work once the handshake was done

    // Two full records; all of their ciphertext but the last 100 bytes arrives.
    Bytes sent(2 * 16384);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(SSL_write(client.ssl.get(), sent.data(), static_cast<int>(sent.size())),
              static_cast<int>(sent.size()));
    const Bytes cipher = client.ciphertext();
    asio::write(clientSide, asio::buffer(cipher.data(), cipher.size() - 100));
    while (serverSide.available() < cipher.size() - 100 && !timedOut()) {
        // the read below must find them all there, as from a peer that sent them all
    }

    Bytes received(sent.size());
    size_t filled = 0;
    std::function<void()> readOn = [&] {
        stream.expectBytes(received.size() - filled);
        stream.async_read_some(asio::buffer(received.data() + filled, received.size() - filled),
                               [&](std::error_code ec, size_t n) {
                                   ASSERT_FALSE(ec) << ec.message();
                                   filled += n;
                                   if (filled < received.size())
                                       readOn();
                               });
    };
    readOn();
    while (filled == 0 && !timedOut())  // the first record; the rest waits for the last bytes
        loop.run_one_for(std::chrono::milliseconds(50));
    EXPECT_EQ(filled, 16384u);
    asio::write(clientSide, asio::buffer(cipher.data() + cipher.size() - 100, 100));
    while (filled < received.size() && !timedOut())
        loop.run_one_for(std::chrono::milliseconds(50));
    EXPECT_EQ(filled, received.size());
    EXPECT_TRUE(received == sent);
}

}  // namespace
