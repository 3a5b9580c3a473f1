#pragma once

// Helpers for the whole suite: bytes, captured log lines, recorded handler calls, test TLS
// material, and one scripted peer over real sockets with an independent frame codec.

#include <gtest/gtest.h>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "relaymatrix/LogCapture.h"
#include "tidewire/Handshake.h"
#include "tidewire/WebSocketSession.h"

namespace tidewire_test {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using relaymatrix::testing::LogLevel;
constexpr auto deadline = 20s;

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
inline std::string textOf(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Lines and events are kept as text and waited for with a deadline, never slept on.
class Recorder {
public:
    void add(std::string item) {
        std::lock_guard<std::mutex> lock(mutex);
        items.push_back(std::move(item));
        changed.notify_all();
    }
    bool waitFor(const std::function<bool(const std::vector<std::string>&)>& done) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, deadline, [&] { return done(items); });
    }
    bool waitFor(const std::string& item) {
        return waitFor([&](auto& v) { return has(v, item); });
    }
    bool waitForCount(size_t n) {
        return waitFor([&](auto& v) { return v.size() >= n; });
    }
    std::vector<std::string> all() const {
        std::lock_guard<std::mutex> lock(mutex);
        return items;
    }
    size_t count(const std::string& item) const {
        auto v = all();
        return static_cast<size_t>(std::count(v.begin(), v.end(), item));
    }
    static bool has(const std::vector<std::string>& v, const std::string& item) {
        return std::find(v.begin(), v.end(), item) != v.end();
    }

private:
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> items;
};

// Every log line while alive, as "level text" ("debug [WebSocketClient] Received pong").
class LogRecorder : public Recorder {
public:
    LogRecorder() {
        relaymatrix::testing::setLogSink([this](LogLevel level, const std::string& text) {
            add(std::string(relaymatrix::testing::logLevelName(level)) + " " + text);
        });
    }
    ~LogRecorder() { relaymatrix::testing::setLogSink({}); }
};

// Handler calls of one session as "open", "text:<bytes>", "binary:<size>", "error:<text>",
// "close".
inline void record(relaymatrix::extensions::tidewire::WebSocketSession& session, Recorder& events) {
    session.onOpenHandler = [&events] { events.add("open"); };
    session.onMessageHandler = [&events](const Bytes& bytes, bool isText) {
        events.add(isText ? "text:" + textOf(bytes) : "binary:" + std::to_string(bytes.size()));
    };
    session.onErrorHandler = [&events](const std::string& text) { events.add("error:" + text); };
    session.onCloseHandler = [&events] { events.add("close"); };
}

// Test TLS material made once per process: a CA, a server certificate it signed for
// localhost and 127.0.0.1, and one for another name. The CA becomes the client's trust store.
struct Certificates {
    std::string dir, ca, cert, key, otherCert, otherKey;
    static const Certificates& get() {
        static const Certificates instance = make();
        return instance;
    }
    static Certificates make() {
        char pattern[] = "/tmp/tidewire-tls-XXXXXX";
        const std::string d = mkdtemp(pattern);
        const std::string script =
            "cd " + d + " && K='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes' && " +
            "openssl req -x509 $K -days 2 -subj /CN=TestCA -keyout ca.key -out ca.pem && " +
            "for n in server:DNS:localhost,IP:127.0.0.1 other:DNS:other.example; do " +
            "openssl req $K -subj /CN=${n%%:*} -keyout ${n%%:*}.key -out ${n%%:*}.csr && " +
            "echo subjectAltName=${n#*:} > ${n%%:*}.ext && openssl x509 -req -in ${n%%:*}.csr " +
            "-CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ${n%%:*}.ext " +
            "-out ${n%%:*}.pem; done 2>/dev/null";
        if (std::system(script.c_str()) != 0) {
            throw std::runtime_error("openssl could not make the test certificates");
        }
        setenv("SSL_CERT_FILE", (d + "/ca.pem").c_str(), 1);
        return {d,
                d + "/ca.pem",
                d + "/server.pem",
                d + "/server.key",
                d + "/other.pem",
                d + "/other.key"};
    }
};

// A frame as an independent peer writes it; masked frames use the key 01 02 03 04.
inline Bytes frame(uint8_t opcode, const Bytes& payload, bool masked, bool fin = true) {
    Bytes out{static_cast<uint8_t>((fin ? 0x80 : 0) | opcode)};
    const uint8_t maskBit = masked ? 0x80 : 0;
    const size_t n = payload.size();
    if (n < 126) {
        out.push_back(static_cast<uint8_t>(maskBit | n));
    } else {
        const int width = n <= 0xFFFF ? 2 : 8;
        out.push_back(static_cast<uint8_t>(maskBit | (width == 2 ? 126 : 127)));
        for (int i = width - 1; i >= 0; --i)
            out.push_back(static_cast<uint8_t>(n >> (8 * i)));
    }
    const uint8_t key[4] = {1, 2, 3, 4};
    if (masked)
        out.insert(out.end(), key, key + 4);
    for (size_t i = 0; i < n; ++i)
        out.push_back(payload[i] ^ (masked ? key[i % 4] : 0));
    return out;
}

// Decodes frames from the front of `bytes` as "<opcode>[*]:<payload>" ('*': not final);
// `masks` collects each frame's MASK bit. Stops at an incomplete frame, leaving it.
inline std::vector<std::string> parseFrames(Bytes& bytes, std::vector<bool>* masks = nullptr) {
    std::vector<std::string> frames;
    size_t at = 0;
    while (bytes.size() - at >= 2) {
        const uint8_t b0 = bytes[at], b1 = bytes[at + 1];
        size_t header = 2;
        uint64_t n = b1 & 0x7F;
        const size_t width = n == 126 ? 2 : n == 127 ? 8 : 0;
        if (bytes.size() - at < header + width + ((b1 & 0x80) ? 4 : 0))
            break;
        if (width != 0) {
            n = 0;
            for (size_t i = 0; i < width; ++i)
                n = (n << 8) | bytes[at + 2 + i];
        }
        header += width;
        const uint8_t* key = (b1 & 0x80) ? &bytes[at + header] : nullptr;
        header += key ? 4 : 0;
        if (bytes.size() - at - header < n)
            break;
        std::string payload;
        for (uint64_t i = 0; i < n; ++i)
            payload += static_cast<char>(bytes[at + header + i] ^ (key ? key[i % 4] : 0));
        if (masks)
            masks->push_back(key != nullptr);
        frames.push_back(std::to_string(b0 & 0x0F) + ((b0 & 0x80) ? ":" : "*:") + payload);
        at += header + n;
    }
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(at));
    return frames;
}

// One end of a real TCP (or TLS) connection driven from the test thread. Every wait has a
// deadline; a wait that runs out fails the test.
class Peer {
public:
    // Connects to 127.0.0.1:port; `tls` wraps it in a TLS client that checks nothing.
    static std::unique_ptr<Peer> connect(unsigned short port, bool tls = false) {
        auto peer = std::unique_ptr<Peer>(new Peer(tls, false));
        peer->socket.connect({asio::ip::make_address("127.0.0.1"), port});
        if (tls)
            peer->runOp([&](auto done) {
                peer->tlsStream->async_handshake(asio::ssl::stream_base::client, done);
            });
        return peer;
    }
    // Listens on a free loopback port; accept() takes one connection (TLS with the test
    // certificate when `tls`).
    explicit Peer(bool tls, bool listen)
        : acceptor(io),
          socket(io),
          context(tls && listen ? asio::ssl::context::tls_server : asio::ssl::context::tls_client) {
        if (tls) {
            if (listen) {
                context.use_certificate_chain_file(Certificates::get().cert);
                context.use_private_key_file(Certificates::get().key, asio::ssl::context::pem);
            }
            tlsStream.emplace(socket, context);
        }
        if (listen) {
            acceptor.open(asio::ip::tcp::v4());
            acceptor.bind({asio::ip::make_address("127.0.0.1"), 0});
            acceptor.listen();
        }
    }
    unsigned short port() const { return acceptor.local_endpoint().port(); }
    void accept() {
        runOp([&](auto done) { acceptor.async_accept(socket, done); });
        if (tlsStream)
            runOp([&](auto done) {
                tlsStream->async_handshake(asio::ssl::stream_base::server, done);
            });
    }

    void write(const Bytes& bytes) {
        runOp([&](auto done) {
            withStream([&](auto& s) { asio::async_write(s, asio::buffer(bytes), done); });
        });
    }
    void write(const std::string& text) { write(bytesOf(text)); }
    // The HTTP header block at the front of the stream (request or response).
    std::string readHeader() {
        while (true) {
            const std::string text = textOf(input);
            const size_t end = text.find("\r\n\r\n");
            if (end != std::string::npos) {
                input.erase(input.begin(), input.begin() + static_cast<long>(end + 4));
                return text.substr(0, end + 4);
            }
            if (!readSome())
                return text;
        }
    }
    // The next `count` frames, parsed as parseFrames shows them.
    std::vector<std::string> readFrames(size_t count, std::vector<bool>* masks = nullptr) {
        std::vector<std::string> frames;
        while (true) {
            for (auto& f : parseFrames(input, masks))
                frames.push_back(std::move(f));
            if (frames.size() >= count || !readSome())
                return frames;
        }
    }
    // The next `count` raw bytes (fewer when the stream ends first).
    Bytes readBytes(size_t count) {
        while (input.size() < count && readSome()) {
        }
        Bytes out(input.begin(), input.begin() + static_cast<long>(std::min(count, input.size())));
        input.erase(input.begin(), input.begin() + static_cast<long>(out.size()));
        return out;
    }
    // True once the other side has closed (end of stream or reset) within the deadline.
    bool waitForClose() {
        while (readSome()) {
        }
        return lastError != asio::error::operation_aborted;
    }
    // Answers a client's opening handshake with the matching 101.
    std::string acceptUpgrade();
    // Ends our sending side: the other end reads what was sent, then the end of the stream.
    void finish() { socket.shutdown(asio::socket_base::shutdown_send); }
    void reset() {
        socket.set_option(asio::socket_base::linger(true, 0));
        socket.close();
    }

    Bytes input;  // read and not yet consumed
    asio::error_code lastError;

private:
    template <class F>
    void withStream(F&& f) {
        if (tlsStream)
            f(*tlsStream);
        else
            f(socket);
    }
    bool readSome() {
        uint8_t chunk[65536];
        size_t got = 0;
        runOp(
            [&](auto done) {
                withStream([&](auto& s) {
                    s.async_read_some(asio::buffer(chunk),
                                      [&, done](asio::error_code ec, size_t n) {
                                          got = n;
                                          done(ec);
                                      });
                });
            },
            false);
        input.insert(input.end(), chunk, chunk + got);
        return !lastError;
    }
    template <class Start>
    void runOp(Start start, bool mustSucceed = true) {
        bool finished = false;
        start([&](asio::error_code ec, auto&&...) {
            lastError = ec;
            finished = true;
        });
        io.restart();
        io.run_for(deadline);
        if (!finished) {
            lastError = asio::error::operation_aborted;
            socket.cancel();
            io.restart();
            io.run();
            ADD_FAILURE() << "peer operation timed out";
        } else if (mustSucceed && lastError) {
            ADD_FAILURE() << "peer operation failed: " << lastError.message();
        }
    }

    asio::io_context io;
    asio::ip::tcp::acceptor acceptor;
    asio::ip::tcp::socket socket;
    asio::ssl::context context;
    std::optional<asio::ssl::stream<asio::ip::tcp::socket&>> tlsStream;
};

inline std::string Peer::acceptUpgrade() {
    const std::string request = readHeader();
    const size_t at = request.find("Sec-WebSocket-Key: ");
    const std::string key = at == std::string::npos ? "" : request.substr(at + 19, 24);
    write(
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        relaymatrix::extensions::tidewire::generateAcceptKey(key) + "\r\n\r\n");
    return request;
}

}  // namespace tidewire_test
