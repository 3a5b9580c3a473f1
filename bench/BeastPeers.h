#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

// The Boost.Beast side of echo_compare, in a translation unit of its own: Boost.Asio and the
// standalone asio the library uses cannot be included in the same one.
namespace beast_peers {

// From now on servers and load generators made here negotiate permessage-deflate (zlib's
// default level and memory, 15-bit windows, context takeover) and the load sends JSON-like
// text instead of a repeated byte. Call before any of them exists (and before a fork).
void enableDeflate();

// A one-thread asynchronous echo server that reads the next message while the last is being
// written, with recycled buffers: the same pattern as the library's, so a fair baseline.
class EchoServer {
public:
    // TLS 1.2 with the given certificate and key when `tls`.
    EchoServer(bool tls, const std::string& certificate, const std::string& key);
    ~EchoServer();
    unsigned short port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// `connections` clients on one thread, each keeping `depth` messages of `size` bytes in
// flight; counts the echoes into `echoed`. Connects on construction, stops on destruction.
class LoadGenerator {
public:
    LoadGenerator(unsigned short port, bool tls, size_t size, int connections, int depth,
                  std::atomic<long>& echoed);
    ~LoadGenerator();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// A blocking client echoing one message at a time over a plain connection.
class SyncClient {
public:
    SyncClient(unsigned short port, size_t size);
    ~SyncClient();
    void echo();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace beast_peers
