#pragma once

// Helpers for the whole suite: captured log lines, recorded handler calls, test TLS
// material, and one scripted peer over real sockets.

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

#include "Frames.h"
#include "relaymatrix/LogCapture.h"
#include "tidewire/Handshake.h"
#include "tidewire/WebSocketSession.h"

namespace tidewire_test {

// Items as text, waited for with a deadline, never slept on.
class Recorder {
public:
    using Items = std::vector<std::string>;
    void add(std::string item) {
        std::lock_guard<std::mutex> lock(mutex);
        items.push_back(std::move(item));
        changed.notify_all();
    }
    bool waitFor(const std::function<bool(const Items&)>& done) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return done(items); });
    }
    // Waits for an item equal to `item` or, with `prefix`, starting with it.
    bool waitFor(const std::string& item, bool prefix = false) {
        return waitFor([&](const Items& v) {
            return std::any_of(v.begin(), v.end(),
                               [&](auto& i) { return prefix ? i.rfind(item, 0) == 0 : i == item; });
        });
    }
    bool waitForCount(size_t n) {
        return waitFor([&](const Items& v) { return v.size() >= n; });
    }
    Items all() const {
        std::lock_guard<std::mutex> lock(mutex);
        return items;
    }
    size_t count(const std::string& item) const {
        const Items v = all();
        return static_cast<size_t>(std::count(v.begin(), v.end(), item));
    }

private:
    mutable std::mutex mutex;
    std::condition_variable changed;
    Items items;
};

// What `call` throws, as its what() tells it; empty when it returns.
template <class Call>
std::string thrownText(Call&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// Every log line while alive, as "level text" ("debug [WebSocketClient] Received pong").
class LogRecorder : public Recorder {
public:
    LogRecorder() {
        relaymatrix::testing::setLogSink(
            [this](relaymatrix::testing::LogLevel level, const std::string& text) {
                add(std::string(relaymatrix::testing::logLevelName(level)) + " " + text);
            });
    }
    ~LogRecorder() { relaymatrix::testing::setLogSink({}); }
};

// A session's handler calls as "open", "text:<bytes>", "binary:<size>", "error:<text>", "close".
inline void record(relaymatrix::extensions::tidewire::WebSocketSession& session, Recorder& events) {
    session.onOpenHandler = [&events] { events.add("open"); };
    session.onMessageHandler = [&events](const Bytes& bytes, bool isText) {
        events.add(isText ? "text:" + textOf(bytes) : "binary:" + std::to_string(bytes.size()));
    };
    session.onErrorHandler = [&events](const std::string& text) { events.add("error:" + text); };
    session.onCloseHandler = [&events] { events.add("close"); };
}

// Made once per process: a CA (the client's trust store from then on), a server certificate it
// signed for localhost and 127.0.0.1 ("server"), one for another name ("other"); in `dir` also
// "client.pem", "expired.pem" (for localhost, expired yesterday), and a CA nobody trusts
// (ca2.pem, hashed in ca2/) that signed "private.pem".
struct Certificates {
    std::string ca, cert, key, otherCert, otherKey, dir;
    static const Certificates& get() {
        static const Certificates instance = [] {
            char pattern[] = "/tmp/tidewire-tls-XXXXXX";
            const std::string d = std::string(mkdtemp(pattern)) + "/";
            const std::string script =
                "cd " + d + R"( && K='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes'
                for c in ca ca2; do openssl req -x509 $K -days 2 -subj /CN=$c -keyout $c.key -out $c.pem 2>/dev/null; done
                mkdir ca2 && cp ca2.pem ca2 && openssl rehash ca2
                for n in server:ca:DNS:localhost,IP:127.0.0.1 other:ca:DNS:other.example client:ca:DNS:client \
                         private:ca2:DNS:localhost,IP:127.0.0.1 expired:ca:DNS:localhost; do f=${n%%:*} r=${n#*:}
                  openssl req $K -subj /CN=$f -keyout $f.key -out $f.csr 2>/dev/null && echo subjectAltName=${r#*:} >$f.ext
                  openssl x509 -req -in $f.csr -CA ${r%%:*}.pem -CAkey ${r%%:*}.key -CAcreateserial -days $([ $f = expired ] && echo -1 || echo 2) -extfile $f.ext -out $f.pem 2>/dev/null
                done && test -s private.pem)";
            if (std::system(script.c_str()) != 0)
                throw std::runtime_error("openssl failed");
            setenv("SSL_CERT_FILE", (d + "ca.pem").c_str(), 1);
            return Certificates{d + "ca.pem",    d + "server.pem", d + "server.key",
                                d + "other.pem", d + "other.key",  d};
        }();
        return instance;
    }
};

// One end of a real TCP connection, driven from the test thread with blocking calls (the
// test's own time limit bounds them): a client of 127.0.0.1:port, or a listener on a free
// port of `address` (a TLS server with `certificate` and `key`, requiring a client
// certificate signed by `clientCa` when given) that accept() connects.
class Peer {
public:
    static std::unique_ptr<Peer> connect(unsigned short port) {
        auto peer = std::make_unique<Peer>();
        peer->socket.connect({asio::ip::make_address("127.0.0.1"), port});
        peer->socket.set_option(asio::ip::tcp::no_delay(true));  // small writes go out alone
        return peer;
    }
    explicit Peer(const std::string& certificate = "", const std::string& key = "",
                  const std::string& clientCa = "") {
        if (!key.empty()) {
            context.use_certificate_chain_file(certificate);
            context.use_private_key_file(key, asio::ssl::context::pem);
            if (!clientCa.empty()) {
                context.load_verify_file(clientCa);
                context.set_verify_mode(asio::ssl::verify_peer |
                                        asio::ssl::verify_fail_if_no_peer_cert);
            }
            tls.emplace(socket, context);
        }
    }
    unsigned short port() {
        if (!acceptor.is_open()) {
            const asio::ip::address bound = asio::ip::make_address(address);
            acceptor.open(bound.is_v6() ? asio::ip::tcp::v6() : asio::ip::tcp::v4());
            acceptor.bind({bound, 0});
            acceptor.listen();
        }
        return acceptor.local_endpoint().port();
    }
    unsigned short remotePort() { return socket.remote_endpoint().port(); }
    std::string tlsDetail() {  // TLS version and server name sent: "TLSv1.2 localhost"
        const char* name = SSL_get_servername(tls->native_handle(), TLSEXT_NAMETYPE_host_name);
        return std::string(SSL_get_version(tls->native_handle())) + " " + (name ? name : "");
    }
    // TLS 1.3: our keys change with the next record we send, and the other side must follow.
    void keyUpdate() { SSL_key_update(tls->native_handle(), SSL_KEY_UPDATE_REQUESTED); }
    // Takes one connection; false when its TLS handshake failed.
    bool accept() {
        acceptor.accept(socket);
        asio::error_code ec;
        if (tls)
            tls->handshake(asio::ssl::stream_base::server, ec);
        return !ec;
    }
    void write(const Bytes& bytes) {
        withStream([&](auto& s) { asio::write(s, asio::buffer(bytes)); });
    }
    void write(const std::string& text) { write(bytesOf(text)); }
    // The HTTP header block at the front of the stream, or what came before its end.
    std::string readHeader() {
        size_t end;
        while ((end = textOf(input).find("\r\n\r\n")) == std::string::npos && readSome()) {
        }
        return textOf(take(end == std::string::npos ? input.size() : end + 4));
    }
    // Answers a client's opening handshake with the matching 101 and the header lines
    // `extra`; returns the request.
    std::string acceptUpgrade(const std::string& extra = "") {
        const std::string request = readHeader();
        const size_t at = request.find("Sec-WebSocket-Key: ");
        write("HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: " +
              relaymatrix::extensions::tidewire::generateAcceptKey(request.substr(at + 19, 24)) +
              "\r\n" + extra + "\r\n");
        return request;
    }
    // The next `count` frames (fewer when the stream ends), as parseFrames shows them.
    std::vector<std::string> readFrames(size_t count, std::vector<bool>* masks = nullptr) {
        std::vector<std::string> frames;
        do {
            for (auto& f : parseFrames(input, masks))
                frames.push_back(std::move(f));
        } while (frames.size() < count && readSome());
        return frames;
    }
    // One read of what has arrived into `input`; false at the end of the stream.
    bool readSome() {
        uint8_t chunk[65536];
        asio::error_code ec;
        size_t n = 0;
        withStream([&](auto& s) { n = s.read_some(asio::buffer(chunk), ec); });
        input.insert(input.end(), chunk, chunk + n);
        return !ec;
    }
    // Reads until the other side has closed (end of stream or reset).
    void waitForClose() {
        while (readSome()) {
        }
    }
    // Our sending side ends: the other end reads what was sent, then the end of the stream.
    void finish() { socket.shutdown(asio::socket_base::shutdown_send, ignored); }
    void reset() {
        socket.set_option(asio::socket_base::linger(true, 0));
        socket.close();
    }
    Bytes input;                        // read and not yet taken
    std::string address = "127.0.0.1";  // to listen on, set before port()

private:
    template <class F>
    void withStream(F&& f) {
        if (tls)
            f(*tls);
        else
            f(socket);
    }
    Bytes take(size_t n) {
        Bytes front(input.begin(), input.begin() + static_cast<long>(n));
        input.erase(input.begin(), input.begin() + static_cast<long>(n));
        return front;
    }

    asio::io_context io;
    asio::ip::tcp::acceptor acceptor{io};
    asio::ip::tcp::socket socket{io};
    asio::ssl::context context{asio::ssl::context::tls_server};
    std::optional<asio::ssl::stream<asio::ip::tcp::socket&>> tls;
    asio::error_code ignored;
};

}  // namespace tidewire_test
