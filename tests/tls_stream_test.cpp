// The TLS stream against a peer whose records the test cuts and carries by hand (OpenSSL on
// memory BIOs), in both roles: what a read must do when OpenSSL already holds part of what it
// waits for, and when the peer sends a record that is not application data.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <asio.hpp>
#include <asio/ssl/context.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "Support.h"
#include "transport/TlsStream.h"

namespace {

using namespace tidewire_test;
using relaymatrix::extensions::tidewire::TlsStream;
using tcp = asio::ip::tcp;

// A TLS peer on memory BIOs; it notes the handshake messages and alerts it receives.
struct HandCutPeer {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context;
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl{nullptr, SSL_free};
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    std::vector<std::string> received;  // "handshake <type>", "alert <level> <description>"

    HandCutPeer(bool server, bool tls13)
        : context(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()), SSL_CTX_free) {
        SSL_CTX_set_max_proto_version(context.get(), tls13 ? TLS1_3_VERSION : TLS1_2_VERSION);
        SSL_CTX_use_certificate_chain_file(context.get(), Certificates::get().cert.c_str());
        SSL_CTX_use_PrivateKey_file(context.get(), Certificates::get().key.c_str(),
                                    SSL_FILETYPE_PEM);
        ssl.reset(SSL_new(context.get()));
        SSL_set_bio(ssl.get(), in, out);
        server ? SSL_set_accept_state(ssl.get()) : SSL_set_connect_state(ssl.get());
        SSL_set_msg_callback_arg(ssl.get(), this);
        SSL_set_msg_callback(ssl.get(), [](int sent, int, int type, const void* data, size_t size,
                                           SSL*, void* self) {
            const auto* b = static_cast<const uint8_t*>(data);
            if (!sent && type == SSL3_RT_HANDSHAKE && size > 0)
                static_cast<HandCutPeer*>(self)->received.push_back("handshake " +
                                                                    std::to_string(b[0]));
            if (!sent && type == SSL3_RT_ALERT && size == 2)
                static_cast<HandCutPeer*>(self)->received.push_back(
                    "alert " + std::to_string(b[0]) + " " + std::to_string(b[1]));
        });
    }
    Bytes ciphertext() {
        Bytes bytes(static_cast<size_t>(BIO_pending(out)));
        BIO_read(out, bytes.data(), static_cast<int>(bytes.size()));
        return bytes;
    }
    bool saw(const std::string& item) const {
        return std::find(received.begin(), received.end(), item) != received.end();
    }
};

// Our stream on one end of a loopback connection, the hand-cut peer on the other, after the
// handshake. Every wait is bounded by one deadline.
struct Conversation {
    asio::io_context loop;
    tcp::acceptor acceptor{loop, {asio::ip::make_address("127.0.0.1"), 0}};
    tcp::socket ours{loop}, theirs{loop};
    asio::ssl::context context;
    std::optional<TlsStream> stream;
    HandCutPeer peer;
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(5);

    Conversation(bool weServe, bool tls13, int socketBuffers = 0)
        : context(weServe ? asio::ssl::context::tls_server : asio::ssl::context::tls_client),
          peer(!weServe, tls13) {
        theirs.open(tcp::v4());
        if (socketBuffers != 0)  // before connecting, so the window is small from the start
            theirs.set_option(asio::socket_base::receive_buffer_size(socketBuffers));
        theirs.connect(acceptor.local_endpoint());
        acceptor.accept(ours);
        if (socketBuffers != 0)
            ours.set_option(asio::socket_base::send_buffer_size(socketBuffers));
        context.use_certificate_chain_file(Certificates::get().cert);
        context.use_private_key_file(Certificates::get().key, asio::ssl::context::pem);
        stream.emplace(ours, context);
        bool shaken = false;
        stream->async_handshake(
            weServe ? asio::ssl::stream_base::server : asio::ssl::stream_base::client,
            [&](std::error_code ec) {
                EXPECT_FALSE(ec) << ec.message();
                shaken = true;
            });
        runUntil([&] {
            SSL_do_handshake(peer.ssl.get());
            ship();
            carry();
            return shaken && SSL_is_init_finished(peer.ssl.get());
        });
    }
    bool timedOut() const { return std::chrono::steady_clock::now() > deadline; }
    // The peer's ciphertext onto the socket.
    void ship() { asio::write(theirs, asio::buffer(peer.ciphertext())); }
    // What the socket has brought the peer, into its BIO.
    void carry() {
        uint8_t buffer[65536];
        std::error_code ec;
        theirs.non_blocking(true);
        const size_t got = theirs.read_some(asio::buffer(buffer), ec);
        theirs.non_blocking(false);
        BIO_write(peer.in, buffer, static_cast<int>(got));
    }
    bool runUntil(const std::function<bool()>& done) {
        loop.restart();
        while (!done() && !timedOut())
            loop.run_one_for(std::chrono::milliseconds(5));
        return done();
    }
    // Reads into `into` until an error, each read waiting for all that is missing.
    void readAll(Bytes& into, size_t& filled, std::error_code& error) {
        reader = [&, this] {
            stream->expectBytes(into.size() - filled);
            stream->async_read_some(asio::buffer(into.data() + filled, into.size() - filled),
                                    [&, this](std::error_code ec, size_t n) {
                                        filled += n;
                                        error = ec;
                                        if (!ec && filled < into.size())
                                            reader();
                                    });
        };
        reader();
    }
    std::function<void()> reader;
};

Bytes pattern(size_t size, int seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * seed);
    return bytes;
}

// The peer has sent all of a record but its last bytes, and OpenSSL holds the rest: the next
// read must wake for those last bytes, however much plain text it still expects.
TEST(TlsStream, ReadWakesForTheLastBytesOfARecordOpenSslHolds) {
    Conversation c(true, true);
    const Bytes sent = pattern(2 * 16384, 7);  // two full records
    ASSERT_EQ(SSL_write(c.peer.ssl.get(), sent.data(), static_cast<int>(sent.size())),
              static_cast<int>(sent.size()));
    const Bytes cipher = c.peer.ciphertext();
    asio::write(c.theirs, asio::buffer(cipher.data(), cipher.size() - 100));
    while (c.ours.available() < cipher.size() - 100 && !c.timedOut()) {
        // the read below must find them all there, as from a peer that sent them all
    }
    Bytes received(sent.size());
    size_t filled = 0;
    std::error_code error;
    c.readAll(received, filled, error);
    c.runUntil([&] { return filled != 0; });  // the first record; the rest waits
    EXPECT_EQ(filled, 16384u);
    asio::write(c.theirs, asio::buffer(cipher.data() + cipher.size() - 100, 100));
    c.runUntil([&] { return filled == received.size(); });
    EXPECT_TRUE(received == sent);
}

// While a read waits for the rest of a large frame, the peer sends a record that is not data,
// with a write of ours flowing or stuck behind a full socket: close_notify ends the stream in
// order (eof, after what came before it); a TLS 1.3 key update is answered with ours; a TLS
// 1.2 renegotiation is refused with a no_renegotiation warning. None fails our connection.
TEST(TlsStream, RecordsThatAreNotDataWakeTheReaderAndAreAnswered) {
    for (const bool weServe : {true, false})
        for (const bool tls13 : {true, false})
            for (const bool stuck : {false, true})
                for (const bool closeNotify : {true, false}) {
                    SCOPED_TRACE(std::string(weServe ? "server" : "client") +
                                 (tls13 ? " TLS 1.3" : " TLS 1.2") +
                                 (stuck ? ", write stuck" : "") +
                                 (closeNotify ? ", close_notify" : ", handshake record"));
                    Conversation c(weServe, tls13, stuck ? 8192 : 0);
                    const Bytes ourData = pattern(stuck ? 4 << 20 : 1000, 3);
                    size_t written = 0, writes = 0;
                    std::function<void()> writeOn = [&] {
                        ++writes;
                        c.stream->async_write_some(
                            asio::buffer(ourData.data() + written, ourData.size() - written),
                            [&](std::error_code ec, size_t n) {
                                EXPECT_FALSE(ec) << ec.message();
                                written += n;
                                if (!ec && written < ourData.size())
                                    writeOn();
                            });
                    };
                    if (stuck) {
                        writeOn();
                        c.loop.restart();
                        while (c.loop.poll() != 0) {  // until the socket takes no more
                        }
                        EXPECT_LT(written, ourData.size());
                    }
                    // Whole records of the frame, then, once the reader waits for the rest,
                    // the record that is not data.
                    const Bytes theirData = pattern(32 * 1024, 5);
                    SSL_write(c.peer.ssl.get(), theirData.data(),
                              static_cast<int>(theirData.size()));
                    c.ship();
                    Bytes received(1 << 20);
                    size_t filled = 0;
                    std::error_code readError;
                    c.readAll(received, filled, readError);
                    EXPECT_TRUE(c.runUntil([&] { return filled == theirData.size(); }));
                    if (closeNotify) {
                        SSL_shutdown(c.peer.ssl.get());
                    } else {
                        tls13 ? SSL_key_update(c.peer.ssl.get(), SSL_KEY_UPDATE_REQUESTED)
                              : SSL_renegotiate(c.peer.ssl.get());
                        SSL_do_handshake(c.peer.ssl.get());
                    }
                    c.ship();

                    const std::string answer = tls13 ? "handshake 24" : "alert 1 100";
                    Bytes sink(65536);
                    size_t peerRead = 0;
                    const bool done = c.runUntil([&] {
                        if (closeNotify)
                            return !!readError;
                        // A key update is answered before our next data, so some must follow.
                        if (!stuck && writes == 0 &&
                            SSL_get_key_update_type(c.stream->native_handle()) !=
                                SSL_KEY_UPDATE_NONE)
                            writeOn();
                        c.carry();
                        int n;
                        while ((n = SSL_read(c.peer.ssl.get(), sink.data(),
                                             static_cast<int>(sink.size()))) > 0)
                            peerRead += static_cast<size_t>(n);
                        return c.peer.saw(answer) && filled == theirData.size() &&
                               (!tls13 || peerRead == ourData.size());
                    });
                    EXPECT_TRUE(done);
                    EXPECT_EQ(readError,
                              closeNotify ? std::error_code(asio::error::eof) : std::error_code());
                    EXPECT_EQ(filled, theirData.size());
                    EXPECT_TRUE(std::equal(theirData.begin(), theirData.end(), received.begin()));
                    ERR_clear_error();
                }
}

}  // namespace
