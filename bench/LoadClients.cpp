#include "LoadClients.h"

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace load_bench {

namespace {

using asio::ip::tcp;

const std::string upgradeRequest =
    "GET /load HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

// Loopback clients on one event loop: each connects, runs the TLS handshake when asked, sends
// the upgrade request and waits for the 101 status line.
class ClientDriver {
public:
    struct Connection {
        asio::ssl::stream<tcp::socket> stream;
        std::string inbox;
        char chunk[1024];
        Connection(asio::io_context& io, asio::ssl::context& context) : stream(io, context) {}
    };

    ClientDriver() { context.set_verify_mode(asio::ssl::verify_none); }

    // Opens `count` connections at once and keeps them.
    Reply openAndHold(const Command& command) {
        const auto start = std::chrono::steady_clock::now();
        held.clear();
        opened = failed = 0;
        for (int i = 0; i < command.count; ++i) {
            held.push_back(std::make_unique<Connection>(io, context));
            open(*held.back(), command, [] {});
        }
        io.restart();
        io.run();
        return {opened, failed, secondsSince(start)};
    }

    void closeHeld() { held.clear(); }

    // Opens `count` connections, `concurrency` at a time, closing each once it is open.
    Reply churn(const Command& command) {
        const auto start = std::chrono::steady_clock::now();
        opened = failed = 0;
        started = 0;
        std::vector<std::unique_ptr<Connection>> slots(static_cast<size_t>(command.concurrency));
        for (size_t slot = 0; slot < slots.size(); ++slot) {
            next(slots, slot, command);
        }
        io.restart();
        io.run();
        return {opened, failed, secondsSince(start)};
    }

private:
    static double secondsSince(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    void next(std::vector<std::unique_ptr<Connection>>& slots, size_t slot,
              const Command& command) {
        if (started == command.count) {
            return;
        }
        ++started;
        slots[slot] = std::make_unique<Connection>(io, context);
        open(*slots[slot], command, [this, &slots, slot, &command] {
            // Leave the completion handler before the connection goes.
            asio::post(io, [this, &slots, slot, &command] {
                slots[slot].reset();
                next(slots, slot, command);
            });
        });
    }

    void open(Connection& connection, const Command& command, std::function<void()> done) {
        const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), command.port);
        connection.stream.next_layer().async_connect(
            endpoint, [this, &connection, tls = command.tls, done](const std::error_code& ec) {
                if (ec) {
                    return finish(false, done);
                }
                if (!tls) {
                    return upgrade(connection, false, done);
                }
                connection.stream.async_handshake(
                    asio::ssl::stream_base::client,
                    [this, &connection, done](const std::error_code& ec) {
                        if (ec) {
                            return finish(false, done);
                        }
                        upgrade(connection, true, done);
                    });
            });
    }

    void upgrade(Connection& connection, bool tls, const std::function<void()>& done) {
        auto onWritten = [](const std::error_code&, size_t) {};
        if (tls) {
            asio::async_write(connection.stream, asio::buffer(upgradeRequest), onWritten);
        } else {
            asio::async_write(connection.stream.next_layer(), asio::buffer(upgradeRequest),
                              onWritten);
        }
        readStatus(connection, tls, done);
    }

    void readStatus(Connection& connection, bool tls, const std::function<void()>& done) {
        const std::string status = "HTTP/1.1 101 ";
        if (connection.inbox.size() >= status.size()) {
            return finish(connection.inbox.compare(0, status.size(), status) == 0, done);
        }
        auto onRead = [this, &connection, tls, done](const std::error_code& ec, size_t size) {
            if (ec) {
                return finish(false, done);
            }
            connection.inbox.append(connection.chunk, size);
            readStatus(connection, tls, done);
        };
        if (tls) {
            connection.stream.async_read_some(asio::buffer(connection.chunk), onRead);
        } else {
            connection.stream.next_layer().async_read_some(asio::buffer(connection.chunk), onRead);
        }
    }

    void finish(bool success, const std::function<void()>& done) {
        ++(success ? opened : failed);
        done();
    }

    asio::io_context io;
    asio::ssl::context context{asio::ssl::context::tlsv12_client};
    std::vector<std::unique_ptr<Connection>> held;
    int opened = 0;
    int failed = 0;
    int started = 0;
};

}  // namespace

int runClientProcess(int commands, int replies) {
    ClientDriver driver;
    Command command{};
    while (readAll(commands, command) && command.op != Op::exit) {
        Reply reply{0, 0, 0};
        switch (command.op) {
            case Op::openAndHold:
                reply = driver.openAndHold(command);
                break;
            case Op::closeHeld:
                driver.closeHeld();
                break;
            case Op::churn:
                reply = driver.churn(command);
                break;
            case Op::exit:
                break;
        }
        if (!writeAll(replies, reply)) {
            return 1;
        }
    }
    return 0;
}

}  // namespace load_bench
