// What one server session costs: resident memory per idle session (1000 sessions held open
// after their handshake) and the accept rate (TCP connect, TLS handshake when used, opening
// handshake, close), plain and TLS. Each figure stands beside a baseline measured in the same
// run: a bare asio server that answers the same request with a fixed 101 response and then
// only waits, so the difference is what the WebSocket server adds.
//
// The clients run in a child process of their own, and every measurement in a fresh server
// process, so that neither the clients' memory nor memory freed by an earlier measurement
// distorts a figure. Prints figures; run it by hand on a normal build:
//   build/<dir>/bench/load_bench [sessions] [churn connections]
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/Support.h"
#include "LoadClients.h"
#include "ResidentMemory.h"
#include "tidewire/WebSocketServer.h"

using asio::ip::tcp;
using relaymatrix::extensions::tidewire::WebSocketServer;
using relaymatrix::extensions::tidewire::WebSocketSession;
using namespace load_bench;

namespace {

// ---- Server process ------------------------------------------------------------------------

// Counts sessions opened and ended, and lets the main thread wait for a count.
class Tally {
public:
    void opened() { add(openCount); }
    void ended() { add(endCount); }
    bool waitForEnded(int count) { return waitFor(endCount, count); }
    bool waitForOpened(int count) { return waitFor(openCount, count); }

private:
    void add(int& counter) {
        std::lock_guard<std::mutex> lock(mutex);
        ++counter;
        changed.notify_all();
    }
    bool waitFor(int& counter, int count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(120), [&] { return counter >= count; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    int openCount = 0;
    int endCount = 0;
};

// The server under measurement: ours, or the bare asio baseline.
class ServerUnderTest {
public:
    virtual ~ServerUnderTest() = default;
    virtual uint16_t port() const = 0;
    Tally tally;
};

class OurServer : public ServerUnderTest {
public:
    explicit OurServer(bool tls) {
        if (tls) {
            const auto& certificates = tidewire_test::Certificates::get();
            server.emplace(0, certificates.cert, certificates.key);
        } else {
            server.emplace(0);
        }
        server->onNewSession([this](WebSocketSession& session) {
            session.onOpenHandler = [this] { tally.opened(); };
            session.onCloseHandler = [this] { tally.ended(); };
            session.onErrorHandler = [this](const std::string&) { tally.ended(); };
        });
        server->start();
    }
    uint16_t port() const override { return server->boundPort(); }

private:
    std::optional<WebSocketServer> server;
};

// Accepts, runs the TLS handshake when asked, reads the request header, answers with a fixed
// 101 response and then only waits for the end of the connection. No WebSocket work at all.
class BareServer : public ServerUnderTest {
public:
    explicit BareServer(bool tls) : useTls(tls) {
        if (tls) {
            const auto& certificates = tidewire_test::Certificates::get();
            context.use_certificate_chain_file(certificates.cert);
            context.use_private_key_file(certificates.key, asio::ssl::context::pem);
        }
        acceptor.open(tcp::v4());
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        acceptor.bind(tcp::endpoint(asio::ip::address_v4::any(), 0));
        acceptor.listen(4096);
        accept();
        thread = std::thread([this] { io.run(); });
    }
    ~BareServer() override {
        io.stop();
        thread.join();
    }
    uint16_t port() const override { return acceptor.local_endpoint().port(); }

private:
    struct Connection : std::enable_shared_from_this<Connection> {
        // Exactly one of the two is engaged, so a plain connection carries no TLS state.
        std::optional<tcp::socket> socket;
        std::optional<asio::ssl::stream<tcp::socket>> stream;
        asio::streambuf buffer;
        BareServer& server;
        Connection(tcp::socket accepted, asio::ssl::context& context, BareServer& server)
            : server(server) {
            if (server.useTls) {
                stream.emplace(std::move(accepted), context);
            } else {
                socket.emplace(std::move(accepted));
            }
        }

        template <class F>
        void withStream(F&& f) {
            if (server.useTls) {
                f(*stream);
            } else {
                f(*socket);
            }
        }

        void start() {
            if (!server.useTls) {
                return readRequest();
            }
            stream->async_handshake(asio::ssl::stream_base::server,
                                    [self = shared_from_this()](const std::error_code& ec) {
                                        if (ec) {
                                            return self->server.tally.ended();
                                        }
                                        self->readRequest();
                                    });
        }

        void readRequest() {
            withStream([this](auto& s) {
                asio::async_read_until(
                    s, buffer, "\r\n\r\n",
                    [this, self = shared_from_this()](const std::error_code& ec, size_t size) {
                        if (ec) {
                            return server.tally.ended();
                        }
                        buffer.consume(size);
                        respond();
                    });
            });
        }

        void respond() {
            static const std::string response =
                "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
                "Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
            withStream([this](auto& s) {
                asio::async_write(
                    s, asio::buffer(response),
                    [this, self = shared_from_this()](const std::error_code& ec, size_t) {
                        if (ec) {
                            return server.tally.ended();
                        }
                        server.tally.opened();
                        awaitEnd();
                    });
            });
        }

        void awaitEnd() {
            withStream([this](auto& s) {
                s.async_read_some(buffer.prepare(512), [this, self = shared_from_this()](
                                                           const std::error_code& ec, size_t size) {
                    if (ec) {
                        return server.tally.ended();
                    }
                    buffer.commit(size);
                    buffer.consume(size);
                    awaitEnd();
                });
            });
        }
    };

    void accept() {
        acceptor.async_accept([this](const std::error_code& ec, tcp::socket socket) {
            if (!ec) {
                std::make_shared<Connection>(std::move(socket), context, *this)->start();
            }
            accept();
        });
    }

    bool useTls;
    asio::io_context io;
    asio::ssl::context context{asio::ssl::context::tlsv12_server};
    tcp::acceptor acceptor{io};
    std::thread thread;
};

std::unique_ptr<ServerUnderTest> makeServer(bool ours, bool tls) {
    if (ours) {
        return std::make_unique<OurServer>(tls);
    }
    return std::make_unique<BareServer>(tls);
}

const char* serverName(bool ours) {
    return ours ? "WebSocketServer" : "bare asio baseline";
}

// Heap bytes in use, over every malloc arena.
size_t heapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

void measureIdleMemory(ClientProcess& clients, bool ours, bool tls, int sessions) {
    std::unique_ptr<ServerUnderTest> server = makeServer(ours, tls);
    // A few sessions held open throughout pay for what is allocated once (TLS tables, loop
    // structures); the process is fresh, so no freed memory flatters the measured round.
    const int warmUp = 20;
    Reply reply = clients.run({Op::openAndHold, server->port(), tls, warmUp, 0});
    const long residentBefore = residentBytes();
    const size_t heapBefore = heapInUse();
    reply = clients.run({Op::openAndHold, server->port(), tls, sessions, 0});
    // A client sees its 101 before the server has finished opening the session (and given
    // back the buffer that read the request): let the server's side settle first.
    server->tally.waitForOpened(sessions + warmUp);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long resident = residentBytes() - residentBefore;
    const long heap = static_cast<long>(heapInUse()) - static_cast<long>(heapBefore);
    clients.run({Op::closeHeld, 0, tls, 0, 0});
    if (reply.opened != sessions || !server->tally.waitForEnded(sessions + warmUp)) {
        std::printf("  %-20s %s: only %d of %d sessions opened (%d failed)\n", serverName(ours),
                    tls ? "TLS  " : "plain", reply.opened, sessions, reply.failed);
        return;
    }
    std::printf(
        "  %-20s %s: %6.1f KiB resident, %6.1f KiB heap per idle session (%d "
        "sessions)\n",
        serverName(ours), tls ? "TLS  " : "plain", resident / 1024.0 / sessions,
        heap / 1024.0 / sessions, sessions);
}

void measureAcceptRate(ClientProcess& clients, bool ours, bool tls, int connections,
                       int concurrency) {
    std::unique_ptr<ServerUnderTest> server = makeServer(ours, tls);
    clients.run({Op::churn, server->port(), tls, connections / 10, concurrency});  // warm-up
    const Reply reply = clients.run({Op::churn, server->port(), tls, connections, concurrency});
    server->tally.waitForEnded(connections + connections / 10);
    std::printf(
        "  %-20s %s: %8.0f connections+handshakes per second (%d of %d opened, %d "
        "at a time)\n",
        serverName(ours), tls ? "TLS  " : "plain", reply.opened / reply.seconds, reply.opened,
        connections, concurrency);
}

// Runs `measure` in a fresh server process, forked while this one has no thread, and waits
// for it.
void inFreshProcess(const std::function<void()>& measure) {
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        measure();
        std::fflush(stdout);
        std::_Exit(0);  // the parent's static objects (the certificate files) stay untouched
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || status != 0) {
        std::fprintf(stderr, "a measurement failed\n");
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int sessions = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int churn = argc > 2 ? std::atoi(argv[2]) : 20000;
    ::setenv("RELAYMATRIX_LOG_LEVEL", "off", 0);

    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < static_cast<rlim_t>(2 * sessions + 100)) {
        std::fprintf(stderr, "needs %d open descriptors; the hard limit is %lu\n",
                     2 * sessions + 100, static_cast<unsigned long>(limit.rlim_cur));
        return 1;
    }

    int toClients[2];
    int fromClients[2];
    if (::pipe(toClients) != 0 || ::pipe(fromClients) != 0) {
        std::perror("pipe");
        return 1;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("fork");
        return 1;
    }
    if (child == 0) {
        ::close(toClients[1]);
        ::close(fromClients[0]);
        std::_Exit(runClientProcess(toClients[0], fromClients[1]));
    }
    ::close(toClients[0]);
    ::close(fromClients[1]);
    ClientProcess clients{toClients[1], fromClients[0]};

    tidewire_test::Certificates::get();  // written once, before any measurement forks
    std::printf(
        "Memory per idle session (server process growth / sessions; socket buffers are "
        "kernel memory and not counted):\n");
    for (const bool tls : {false, true}) {
        for (const bool ours : {false, true}) {
            inFreshProcess([&] { measureIdleMemory(clients, ours, tls, sessions); });
        }
    }
    std::printf("Accept rate (TCP connect, TLS handshake when used, opening handshake, close):\n");
    for (const bool tls : {false, true}) {
        const int connections = tls ? churn / 4 : churn;
        // Two rounds, alternating, so the noise of a shared machine shows in the figures.
        for (const bool ours : {false, true, false, true}) {
            inFreshProcess([&] { measureAcceptRate(clients, ours, tls, connections, 32); });
        }
    }

    writeAll(clients.commands, Command{Op::exit, 0, false, 0, 0});
    int status = 0;
    ::waitpid(child, &status, 0);
    return 0;
}
