#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "tidewire/Handshake.h"

namespace tidewire_test {

// A frame as a scripted peer reads it: payload already unmasked.
struct PeerFrame {
    bool fin = false;
    uint8_t opcode = 0;
    bool masked = false;
    uint8_t key[4] = {0, 0, 0, 0};
    std::vector<uint8_t> payload;
};

// A tiny server on 127.0.0.1 (port chosen by the system) that a test drives step by step on
// its own thread: accept one connection, read what the other side sends, answer with crafted
// bytes. Optionally TLS in the server role. Every blocking call gives up after `timeout`, so
// a test that waits for something that never comes fails instead of hanging.
class ScriptedPeer {
public:
    explicit ScriptedPeer(SSL_CTX* tlsContext = nullptr,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10))
        : tlsContext(tlsContext), timeout(timeout) {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        if (listener < 0 ||
            ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener, 16) != 0) {
            throw std::runtime_error("ScriptedPeer: cannot listen");
        }
        socklen_t length = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        boundPort = ntohs(address.sin_port);
    }

    ~ScriptedPeer() {
        closeConnection();
        if (listener >= 0) {
            ::close(listener);
        }
    }

    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    uint16_t port() const { return boundPort; }

    // "ws://127.0.0.1:<port><path>" (or the given scheme and host).
    std::string url(const std::string& path = "/", const std::string& scheme = "ws",
                    const std::string& host = "127.0.0.1") const {
        return scheme + "://" + host + ":" + std::to_string(boundPort) + path;
    }

    // Accepts one connection (and runs the TLS handshake when configured). False on timeout
    // or a failed TLS handshake.
    bool accept() {
        pollfd entry{listener, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(timeout.count())) != 1) {
            return false;
        }
        closeConnection();
        buffered.clear();
        endOfStream = false;
        connection = ::accept(listener, nullptr, nullptr);
        if (connection < 0) {
            return false;
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
            if (SSL_accept(tls) != 1) {
                ERR_clear_error();
                return false;
            }
        }
        return true;
    }

    // Reads until "\r\n\r\n" and returns everything up to and including it; bytes after it
    // stay buffered for later reads. Empty when the connection ends first.
    std::string readRequest() {
        for (;;) {
            const size_t end = buffered.find("\r\n\r\n");
            if (end != std::string::npos) {
                std::string request = buffered.substr(0, end + 4);
                buffered.erase(0, end + 4);
                return request;
            }
            if (!fill()) {
                return std::string();
            }
        }
    }

    // Exactly `size` bytes, or fewer when the connection ends first.
    std::string readExactly(size_t size) {
        while (buffered.size() < size && fill()) {
        }
        const size_t taken = std::min(size, buffered.size());
        std::string bytes = buffered.substr(0, taken);
        buffered.erase(0, taken);
        return bytes;
    }

    // One frame; false when the connection ends (or times out) before it is complete.
    bool readFrame(PeerFrame& frame) {
        const std::string head = readExactly(2);
        if (head.size() != 2) {
            return false;
        }
        frame = PeerFrame{};
        const auto b0 = static_cast<uint8_t>(head[0]);
        const auto b1 = static_cast<uint8_t>(head[1]);
        frame.fin = (b0 & 0x80) != 0;
        frame.opcode = b0 & 0x0F;
        frame.masked = (b1 & 0x80) != 0;
        uint64_t length = b1 & 0x7F;
        const size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
        if (extended != 0) {
            const std::string bytes = readExactly(extended);
            if (bytes.size() != extended) {
                return false;
            }
            length = 0;
            for (char c : bytes) {
                length = (length << 8) | static_cast<uint8_t>(c);
            }
        }
        if (frame.masked) {
            const std::string key = readExactly(4);
            if (key.size() != 4) {
                return false;
            }
            std::memcpy(frame.key, key.data(), 4);
        }
        const std::string payload = readExactly(static_cast<size_t>(length));
        if (payload.size() != length) {
            return false;
        }
        frame.payload.assign(payload.begin(), payload.end());
        if (frame.masked) {
            for (size_t i = 0; i < frame.payload.size(); ++i) {
                frame.payload[i] ^= frame.key[i & 3];
            }
        }
        return true;
    }

    // True when the other side closes the connection (end of stream or reset) before the
    // timeout; bytes that arrive meanwhile are kept.
    bool waitForEndOfStream() {
        while (fill()) {
        }
        return endOfStream;
    }

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
                return false;
            }
            bytes += written;
            size -= static_cast<size_t>(written);
        }
        return true;
    }

    // Closes the connection without any close frame (and without a TLS close notification).
    void closeConnection() {
        if (tls != nullptr) {
            SSL_free(tls);
            tls = nullptr;
        }
        if (connection >= 0) {
            ::close(connection);
            connection = -1;
        }
    }

    // Drops the connection with an RST instead of a FIN.
    void resetConnection() {
        if (connection >= 0) {
            const linger immediate{1, 0};
            ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
        }
        closeConnection();
    }

    // Stops accepting: later connection attempts are refused.
    void closeListener() {
        if (listener >= 0) {
            ::close(listener);
            listener = -1;
        }
    }

    // Bytes received but not yet taken by a read call.
    const std::string& pending() const { return buffered; }

private:
    bool fill() {
        if (endOfStream || connection < 0) {
            return false;
        }
        char chunk[64 * 1024];
        long received;
        if (tls != nullptr) {
            received = SSL_read(tls, chunk, sizeof chunk);
            if (received <= 0) {
                const int error = SSL_get_error(tls, static_cast<int>(received));
                ERR_clear_error();
                const bool timedOut =
                    error == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK);
                endOfStream = !timedOut;
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

    SSL_CTX* tlsContext;
    std::chrono::milliseconds timeout;
    int listener = -1;
    int connection = -1;
    SSL* tls = nullptr;
    uint16_t boundPort = 0;
    std::string buffered;
    bool endOfStream = false;
};

// Server-side TLS context for a ScriptedPeer from PEM files; freed by the caller.
inline SSL_CTX* makePeerTlsContext(const std::string& certificateFile, const std::string& keyFile) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr ||
        SSL_CTX_use_certificate_chain_file(context, certificateFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        throw std::runtime_error("cannot set up the peer's TLS context");
    }
    return context;
}

// The Sec-WebSocket-Key value of a request header block; empty when there is none.
inline std::string requestKey(const std::string& request) {
    const std::string name = "Sec-WebSocket-Key: ";
    const size_t at = request.find(name);
    if (at == std::string::npos) {
        return std::string();
    }
    const size_t start = at + name.size();
    return request.substr(start, request.find("\r\n", start) - start);
}

// A well-formed 101 answer to `request`, with `extraHeaders` (each ending in CRLF) before the
// empty line.
inline std::string switchingProtocols(const std::string& request,
                                      const std::string& extraHeaders = "") {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " +
           relaymatrix::extensions::tidewire::generateAcceptKey(requestKey(request)) + "\r\n" +
           extraHeaders + "\r\n";
}

// The bytes of one unmasked frame, as a server sends it.
inline std::string frameBytes(bool fin, uint8_t opcode, const std::string& payload) {
    std::string bytes;
    bytes += static_cast<char>((fin ? 0x80 : 0x00) | (opcode & 0x0F));
    const uint64_t size = payload.size();
    if (size < 126) {
        bytes += static_cast<char>(size);
    } else if (size <= 0xFFFF) {
        bytes += static_cast<char>(126);
        bytes += static_cast<char>(size >> 8);
        bytes += static_cast<char>(size & 0xFF);
    } else {
        bytes += static_cast<char>(127);
        for (int i = 7; i >= 0; --i) {
            bytes += static_cast<char>((size >> (8 * i)) & 0xFF);
        }
    }
    return bytes + payload;
}

}  // namespace tidewire_test
