#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "ScriptedPeer.h"

namespace tidewire_test {

// A byte-exact WebSocket client for server tests: it connects to 127.0.0.1:<port> (plain, or
// TLS without certificate checks), writes exactly the bytes a test gives it and reads back
// exactly what the server sends. Every blocking call gives up after `timeout`.
class RawClient {
public:
    explicit RawClient(uint16_t port, SSL_CTX* tlsContext = nullptr,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        connection = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (connection < 0 ||
            ::connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            const int error = errno;
            closeAbruptly();
            throw std::runtime_error(std::string("RawClient: cannot connect: ") +
                                     std::strerror(error));
        }
        timeval limit{};
        limit.tv_sec = static_cast<long>(timeout.count() / 1000);
        limit.tv_usec = static_cast<long>((timeout.count() % 1000) * 1000);
        ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        const int one = 1;
        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (tlsContext != nullptr) {
            tls = SSL_new(tlsContext);
            SSL_set_fd(tls, connection);
            if (SSL_connect(tls) != 1) {
                ERR_clear_error();
                closeAbruptly();
                throw std::runtime_error("RawClient: TLS handshake failed");
            }
        }
    }

    ~RawClient() { closeAbruptly(); }

    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool send(const std::string& bytes) { return send(bytes.data(), bytes.size()); }
    bool send(const std::vector<uint8_t>& bytes) { return send(bytes.data(), bytes.size()); }
    bool send(const void* data, size_t size) {
        const auto* bytes = static_cast<const char*>(data);
        while (size > 0) {
            long written;
            if (tls != nullptr) {
                written = SSL_write(tls, bytes, static_cast<int>(std::min<size_t>(size, 1 << 30)));
            } else {
                written = ::send(connection, bytes, size, MSG_NOSIGNAL);
            }
            if (written <= 0) {
                ERR_clear_error();
                return false;
            }
            bytes += written;
            size -= static_cast<size_t>(written);
        }
        return true;
    }

    // Everything up to and including the first "\r\n\r\n"; later bytes stay buffered. Empty
    // when the connection ends or the timeout passes first.
    std::string readHeaderBlock() {
        for (;;) {
            const size_t end = buffered.find("\r\n\r\n");
            if (end != std::string::npos) {
                std::string block = buffered.substr(0, end + 4);
                buffered.erase(0, end + 4);
                return block;
            }
            if (!fill()) {
                return std::string();
            }
        }
    }

    // Exactly `size` bytes, or fewer when the connection ends or the timeout passes first.
    std::string readExactly(size_t size) {
        while (buffered.size() < size && fill()) {
        }
        const size_t taken = std::min(size, buffered.size());
        std::string bytes = buffered.substr(0, taken);
        buffered.erase(0, taken);
        return bytes;
    }

    // One whole frame as the server sent it (header bytes included) in `raw`, decoded in
    // `frame`; false when the connection ends or the timeout passes before it is complete.
    bool readFrame(PeerFrame& frame, std::string* raw = nullptr) {
        std::string bytes = readExactly(2);
        if (bytes.size() != 2) {
            return false;
        }
        frame = PeerFrame{};
        frame.fin = (static_cast<uint8_t>(bytes[0]) & 0x80) != 0;
        frame.opcode = static_cast<uint8_t>(bytes[0]) & 0x0F;
        frame.masked = (static_cast<uint8_t>(bytes[1]) & 0x80) != 0;
        uint64_t length = static_cast<uint8_t>(bytes[1]) & 0x7F;
        const size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
        const std::string lengthBytes = readExactly(extended + (frame.masked ? 4 : 0));
        if (lengthBytes.size() != extended + (frame.masked ? 4 : 0)) {
            return false;
        }
        if (extended != 0) {
            length = 0;
            for (size_t i = 0; i < extended; ++i) {
                length = (length << 8) | static_cast<uint8_t>(lengthBytes[i]);
            }
        }
        if (frame.masked) {
            std::memcpy(frame.key, lengthBytes.data() + extended, 4);
        }
        const std::string payload = readExactly(static_cast<size_t>(length));
        if (payload.size() != length) {
            return false;
        }
        frame.payload.assign(payload.begin(), payload.end());
        for (size_t i = 0; frame.masked && i < frame.payload.size(); ++i) {
            frame.payload[i] ^= frame.key[i & 3];
        }
        if (raw != nullptr) {
            *raw = bytes + lengthBytes + payload;
        }
        return true;
    }

    // True when the server closes the connection (end of stream or reset) before the timeout;
    // bytes that arrive meanwhile are kept in pending().
    bool waitForEndOfStream() {
        while (fill()) {
        }
        return endOfStream;
    }

    // Caps the kernel's receive buffer, so that a client that stops reading makes the server's
    // writes back up after few bytes, whatever the system's buffer settings.
    void limitReceiveBuffer(int bytes) {
        ::setsockopt(connection, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }

    // Half-closes the sending direction (a FIN, no close frame).
    void shutdownSending() { ::shutdown(connection, SHUT_WR); }

    // Drops the connection without a close frame or TLS close notification; with `reset` the
    // peer gets an RST instead of a FIN.
    void closeAbruptly(bool reset = false) {
        if (tls != nullptr) {
            SSL_free(tls);
            tls = nullptr;
        }
        if (connection >= 0) {
            if (reset) {
                const linger immediate{1, 0};
                ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
            }
            ::close(connection);
            connection = -1;
        }
    }

    const std::string& pending() const { return buffered; }

    // The client's own port, as the server's log lines show it.
    uint16_t localPort() const {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(connection, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }

private:
    bool fill() {
        if (endOfStream || connection < 0) {
            return false;
        }
        char chunk[64 * 1024];
        long received;
        errno = 0;  // a stale EAGAIN must not turn an end of stream into a timeout
        if (tls != nullptr) {
            received = SSL_read(tls, chunk, sizeof chunk);
            if (received <= 0) {
                const int error = SSL_get_error(tls, static_cast<int>(received));
                ERR_clear_error();
                endOfStream =
                    !(error == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK));
                return false;
            }
        } else {
            received = ::recv(connection, chunk, sizeof chunk, 0);
            if (received <= 0) {
                endOfStream = !(received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
                return false;
            }
        }
        buffered.append(chunk, static_cast<size_t>(received));
        return true;
    }

    int connection = -1;
    SSL* tls = nullptr;
    std::string buffered;
    bool endOfStream = false;
};

// A TLS 1.2 client context that accepts any server certificate; freed by the caller.
inline SSL_CTX* makeRawClientTlsContext() {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        throw std::runtime_error("cannot set up the raw client's TLS context");
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    return context;
}

// A complete upgrade request with `key`, as a browser would send it.
inline std::string upgradeRequest(const std::string& key, const std::string& extraHeaders = "") {
    return "GET /chat HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
           "Connection: Upgrade\r\nSec-WebSocket-Key: " +
           key + "\r\nSec-WebSocket-Version: 13\r\n" + extraHeaders + "\r\n";
}

// The bytes of one client frame; masked with `key` unless `masked` is false.
inline std::string clientFrame(bool fin, uint8_t opcode, const std::string& payload,
                               bool masked = true,
                               const uint8_t (&key)[4] = {0x37, 0xFA, 0x21, 0x3D}) {
    std::string bytes = frameBytes(fin, opcode, payload);
    if (!masked) {
        return bytes;
    }
    const size_t headerSize = bytes.size() - payload.size();
    bytes[1] = static_cast<char>(static_cast<uint8_t>(bytes[1]) | 0x80);
    std::string out(bytes.substr(0, headerSize));
    out.append(reinterpret_cast<const char*>(key), 4);
    for (size_t i = 0; i < payload.size(); ++i) {
        out += static_cast<char>(static_cast<uint8_t>(payload[i]) ^ key[i & 3]);
    }
    return out;
}

}  // namespace tidewire_test
