#include "BeastPeers.h"

#include <algorithm>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

namespace beast_peers {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using btcp = net::ip::tcp;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

namespace {

bool deflate = false;

template <class Stream>
void offerDeflate(websocket::stream<Stream>& ws) {
    if (deflate) {
        websocket::permessage_deflate options;
        options.server_enable = options.client_enable = true;
        options.compLevel = 6;  // zlib's default, as the library compresses
        options.memLevel = 8;
        ws.set_option(options);
    }
}

// Records with repeating keys and varying values, as chat or telemetry services send.
std::string jsonText(size_t size, unsigned seed) {
    static const char* words[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot"};
    std::string text = "[";
    for (unsigned i = seed * 100003; text.size() < size; ++i) {
        text += "{\"id\":" + std::to_string(i * 7919 % 100003) + ",\"user\":\"" + words[i * 5 % 6] +
                std::to_string(i % 97) + "\",\"text\":\"" + words[i % 6] + " " + words[i * 3 % 6] +
                " " + std::to_string(i * 31 % 1009) + "\"},";
    }
    text.resize(size);
    return text;
}

template <class Stream>
class ServerSession : public std::enable_shared_from_this<ServerSession<Stream>> {
public:
    template <class... Args>
    explicit ServerSession(Args&&... args) : ws(std::forward<Args>(args)...) {
        ws.auto_fragment(false);  // a message goes out as one frame, as ours does
        offerDeflate(ws);
    }

    void run() {
        if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
            accept();
        } else {
            ws.next_layer().async_handshake(
                ssl::stream_base::server, [self = this->shared_from_this()](beast::error_code ec) {
                    if (!ec) {
                        self->accept();
                    }
                });
        }
    }

private:
    void accept() {
        ws.async_accept([self = this->shared_from_this()](beast::error_code ec) {
            if (!ec) {
                self->read();
            }
        });
    }
    // Reads the next message while the last is written, as the library does, with buffers
    // recycled; at most `maxQueued` echoes wait, then reading pauses until one is written.
    void read() {
        if (queue.size() >= maxQueued) {
            readPaused = true;
            return;
        }
        ws.async_read(incoming, [self = this->shared_from_this()](beast::error_code ec, size_t) {
            if (ec) {
                return;
            }
            self->queue.push_back({std::move(self->incoming), self->ws.got_text()});
            self->incoming = beast::flat_buffer();
            if (!self->spares.empty()) {
                self->incoming = std::move(self->spares.back());
                self->spares.pop_back();
            }
            self->write();
            self->read();
        });
    }
    void write() {
        if (writing || queue.empty()) {
            return;
        }
        writing = true;
        ws.text(queue.front().text);
        ws.async_write(queue.front().buffer.data(),
                       [self = this->shared_from_this()](beast::error_code ec, size_t) {
                           self->writing = false;
                           if (ec) {
                               return;
                           }
                           beast::flat_buffer done = std::move(self->queue.front().buffer);
                           self->queue.pop_front();
                           done.consume(done.size());
                           self->spares.push_back(std::move(done));
                           self->write();
                           if (self->readPaused) {
                               self->readPaused = false;
                               self->read();
                           }
                       });
    }

    struct Echo {
        beast::flat_buffer buffer;
        bool text;
    };
    static constexpr size_t maxQueued = 4;
    websocket::stream<Stream> ws;
    beast::flat_buffer incoming;
    std::deque<Echo> queue;
    std::vector<beast::flat_buffer> spares;
    bool writing = false;
    bool readPaused = false;
};

}  // namespace

void enableDeflate() {
    deflate = true;
}

struct EchoServer::Impl {
    bool tls = false;
    ssl::context context{ssl::context::tlsv12_server};
    net::io_context io{1};
    btcp::acceptor acceptor{io};
    std::thread thread;

    void accept() {
        acceptor.async_accept(io, [this](beast::error_code ec, btcp::socket s) {
            if (!ec) {
                s.set_option(btcp::no_delay(true));
                if (tls) {
                    std::make_shared<ServerSession<TlsStream>>(std::move(s), context)->run();
                } else {
                    std::make_shared<ServerSession<beast::tcp_stream>>(std::move(s))->run();
                }
            }
            accept();
        });
    }
};

EchoServer::EchoServer(bool tls, const std::string& certificate, const std::string& key)
    : impl(new Impl) {
    impl->tls = tls;
    if (tls) {
        impl->context.use_certificate_chain_file(certificate);
        impl->context.use_private_key_file(key, ssl::context::pem);
    }
    auto& acceptor = impl->acceptor;
    acceptor.open(btcp::v4());
    acceptor.set_option(btcp::acceptor::reuse_address(true));
    acceptor.bind(btcp::endpoint(net::ip::address_v4::loopback(), 0));
    acceptor.listen();
    impl->accept();
    impl->thread = std::thread([this] { impl->io.run(); });
}

EchoServer::~EchoServer() {
    impl->io.stop();
    impl->thread.join();
}

unsigned short EchoServer::port() const {
    return impl->acceptor.local_endpoint().port();
}

namespace {

template <class Stream>
class LoadConnection {
public:
    template <class... Args>
    LoadConnection(std::atomic<long>& echoed, size_t size, int depth, Args&&... args)
        : ws(std::forward<Args>(args)...), echoed(echoed), depth(depth) {
        // Compressed, messages differ: one repeated within the window would cost nothing.
        for (unsigned i = 0; i < (deflate ? std::max<size_t>(2, 65536 / size) : 1); ++i) {
            payloads.push_back(deflate ? jsonText(size, i) : std::string(size, 'x'));
        }
        ws.auto_fragment(false);
        offerDeflate(ws);
    }

    void open(unsigned short port) {
        auto& lowest = beast::get_lowest_layer(ws);
        lowest.connect(btcp::endpoint(net::ip::address_v4::loopback(), port));
        lowest.socket().set_option(btcp::no_delay(true));
        if constexpr (!std::is_same_v<Stream, beast::tcp_stream>) {
            ws.next_layer().handshake(ssl::stream_base::client);
        }
        ws.binary(!deflate);
        ws.handshake("127.0.0.1", "/");
        pump();
        read();
    }

private:
    void pump() {
        if (writing || inFlight >= depth) {
            return;
        }
        writing = true;
        ++inFlight;
        const std::string& payload = payloads[sent++ % payloads.size()];
        ws.async_write(net::buffer(payload), [this](beast::error_code ec, size_t) {
            writing = false;
            if (!ec) {
                pump();
            }
        });
    }
    void read() {
        ws.async_read(in, [this](beast::error_code ec, size_t) {
            if (ec) {
                return;
            }
            in.consume(in.size());
            --inFlight;
            echoed.fetch_add(1, std::memory_order_relaxed);
            pump();
            read();
        });
    }

    websocket::stream<Stream> ws;
    std::atomic<long>& echoed;
    std::vector<std::string> payloads;
    size_t sent = 0;
    beast::flat_buffer in;
    int depth;
    int inFlight = 0;
    bool writing = false;
};

}  // namespace

struct LoadGenerator::Impl {
    net::io_context io{1};
    ssl::context context{ssl::context::tlsv12_client};
    std::vector<std::unique_ptr<LoadConnection<beast::tcp_stream>>> plain;
    std::vector<std::unique_ptr<LoadConnection<TlsStream>>> secure;
    std::thread thread;
};

LoadGenerator::LoadGenerator(unsigned short port, bool tls, size_t size, int connections, int depth,
                             std::atomic<long>& echoed)
    : impl(new Impl) {
    impl->context.set_verify_mode(ssl::verify_none);
    for (int i = 0; i < connections; ++i) {
        if (tls) {
            impl->secure.push_back(std::make_unique<LoadConnection<TlsStream>>(
                echoed, size, depth, impl->io, impl->context));
            impl->secure.back()->open(port);
        } else {
            impl->plain.push_back(
                std::make_unique<LoadConnection<beast::tcp_stream>>(echoed, size, depth, impl->io));
            impl->plain.back()->open(port);
        }
    }
    impl->thread = std::thread([this] { impl->io.run(); });
}

LoadGenerator::~LoadGenerator() {
    impl->io.stop();
    impl->thread.join();
}

struct SyncClient::Impl {
    net::io_context io;
    websocket::stream<beast::tcp_stream> ws{io};
    std::string payload;
    beast::flat_buffer in;
};

SyncClient::SyncClient(unsigned short port, size_t size) : impl(new Impl) {
    impl->payload.assign(size, 'x');
    auto& lowest = beast::get_lowest_layer(impl->ws);
    lowest.connect(btcp::endpoint(net::ip::address_v4::loopback(), port));
    lowest.socket().set_option(btcp::no_delay(true));
    impl->ws.handshake("127.0.0.1", "/");
    impl->ws.binary(true);
    impl->ws.auto_fragment(false);
}

SyncClient::~SyncClient() = default;

void SyncClient::echo() {
    impl->ws.write(net::buffer(impl->payload));
    impl->ws.read(impl->in);
    impl->in.consume(impl->in.size());
}

}  // namespace beast_peers
