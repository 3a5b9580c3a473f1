#include "FloorEcho.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/HandshakeText.h"
#include "core/Masking.h"

namespace floor_echo {

namespace tw = relaymatrix::extensions::tidewire;

namespace {

constexpr size_t receiveBytes = 64 * 1024;  // room offered to each receive

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

struct Connection {
    int fd = -1;
    SSL* ssl = nullptr;
    bool upgraded = false;  // the 101 has been queued; frames follow
    std::vector<uint8_t> in = std::vector<uint8_t>(receiveBytes);
    size_t inEnd = 0;     // received, not yet echoed
    size_t frameEnd = 0;  // where the incomplete frame at the front of `in` ends, when known
    std::vector<uint8_t> out;
    size_t outStart = 0, outEnd = 0;  // queued, not yet sent
    bool waitingToWrite = false;
    int lowWater = 1;  // the socket's receive low-water mark

    ~Connection() {
        if (ssl != nullptr) {
            SSL_free(ssl);
        }
        ::close(fd);
    }

    // False when the connection is finished.
    bool onReady(int epoll) {
        if (outStart < outEnd && !flush(epoll)) {
            return false;
        }
        if (!receive() || !echo() || !flush(epoll)) {
            return false;
        }
        expectRestOfFrame();
        return true;
    }

private:
    // Room for the rest of the frame being received (whole, so a large frame takes few
    // receives), and never less than a quarter of the usual receive.
    void makeRoom() {
        const size_t wanted = std::max(frameEnd, inEnd + receiveBytes / 4);
        if (in.size() < wanted) {
            in.resize(std::max(wanted, 2 * in.size()));
        }
    }

    // While a large frame comes in, wake when most of it is there rather than per segment:
    // the one kernel hint that changes what a server's wakeups cost. Plain only: under TLS
    // the bytes after the record in progress may be an alert or a handshake the peer then
    // waits on, so no server that serves any legal peer may ask for more than that record,
    // and this one cannot see record boundaries through OpenSSL's socket reads.
    void expectRestOfFrame() {
        const size_t owed = frameEnd > inEnd ? frameEnd - inEnd : 0;
        const int mark = ssl == nullptr && owed >= receiveBytes / 4
                             ? static_cast<int>(std::min<size_t>(owed, 256 * 1024))
                             : 1;
        if (mark != lowWater) {
            lowWater = mark;
            setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark);
        }
    }

    bool receive() {
        makeRoom();
        if (ssl == nullptr) {
            const ssize_t n = ::recv(fd, in.data() + inEnd, in.size() - inEnd, 0);
            if (n <= 0) {
                return n < 0 && (errno == EAGAIN || errno == EINTR);
            }
            inEnd += static_cast<size_t>(n);
            return true;
        }
        // Read ahead: the first SSL_read takes all the socket has; records it left whole in
        // its buffer are decrypted without another receive.
        for (;;) {
            const int n = SSL_read(ssl, in.data() + inEnd, static_cast<int>(in.size() - inEnd));
            if (n <= 0) {
                const int error = SSL_get_error(ssl, n);
                return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
            }
            inEnd += static_cast<size_t>(n);
            makeRoom();
            if (SSL_has_pending(ssl) == 0) {
                return true;
            }
        }
    }

    void reserveOut(size_t size) {
        if (out.size() < outEnd + size) {
            out.resize(std::max(outEnd + size, 2 * out.size()));
        }
    }

    void queue(const uint8_t* data, size_t size) {
        reserveOut(size);
        std::memcpy(out.data() + outEnd, data, size);
        outEnd += size;
    }

    bool echo() {
        size_t at = 0;
        if (!upgraded) {
            const std::string_view text(reinterpret_cast<const char*>(in.data()), inEnd);
            const size_t end = tw::findHeaderBlockEnd(text);
            if (end == 0) {
                return true;
            }
            const std::string response =
                tw::buildServerHandshakeResponse(tw::parseClientHandshakeRequest(text).key);
            queue(reinterpret_cast<const uint8_t*>(response.data()), response.size());
            upgraded = true;
            at = end;
        }
        frameEnd = 0;
        while (inEnd - at >= 2) {
            const uint8_t* frame = in.data() + at;
            const uint8_t opcode = frame[0] & 0x0f;
            size_t length = frame[1] & 0x7f, header = 2;
            if (length >= 126) {
                header += length == 126 ? 2 : 8;
                if (inEnd - at < header) {
                    break;
                }
                length = 0;
                for (size_t i = 2; i < header; ++i) {
                    length = length << 8 | frame[i];
                }
            }
            if (inEnd - at < header + 4 + length) {
                frameEnd = header + 4 + length;
                break;
            }
            if (opcode == 8) {
                return false;  // the load's goodbye: no close handshake owed to it
            }
            uint8_t reply[10] = {static_cast<uint8_t>(0x80 | opcode)};
            size_t replyHeader = 2;
            if (length < 126) {
                reply[1] = static_cast<uint8_t>(length);
            } else if (length <= 0xffff) {
                reply[1] = 126;
                reply[2] = static_cast<uint8_t>(length >> 8);
                reply[3] = static_cast<uint8_t>(length);
                replyHeader = 4;
            } else {
                reply[1] = 127;
                for (int i = 0; i < 8; ++i) {
                    reply[2 + i] = static_cast<uint8_t>(uint64_t(length) >> (56 - 8 * i));
                }
                replyHeader = 10;
            }
            queue(reply, replyHeader);
            reserveOut(length);
            tw::copyWithMask(out.data() + outEnd, frame + header + 4, length, frame + header);
            outEnd += length;
            at += header + 4 + length;
        }
        if (at > 0) {
            std::memmove(in.data(), in.data() + at, inEnd - at);
            inEnd -= at;
        }
        return true;
    }

    bool flush(int epoll) {
        while (outStart < outEnd) {
            const size_t size = outEnd - outStart;
            ssize_t n;
            if (ssl == nullptr) {
                n = ::send(fd, out.data() + outStart, size, MSG_NOSIGNAL);
                if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    return false;
                }
            } else {
                n = SSL_write(ssl, out.data() + outStart, static_cast<int>(size));
                if (n <= 0) {
                    const int error = SSL_get_error(ssl, n);
                    if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) {
                        return false;
                    }
                }
            }
            if (n <= 0) {
                return watchWrites(epoll, true);
            }
            outStart += static_cast<size_t>(n);
        }
        outStart = outEnd = 0;
        return watchWrites(epoll, false);
    }

    bool watchWrites(int epoll, bool on) {
        if (waitingToWrite != on) {
            waitingToWrite = on;
            epoll_event event{};
            event.events = EPOLLIN | (on ? EPOLLOUT : 0u);
            event.data.ptr = this;
            epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &event);
        }
        return true;
    }
};

}  // namespace

struct FloorEchoServer::Impl {
    int listener = -1, epoll = -1, wake = -1;
    unsigned short port = 0;
    SSL_CTX* context = nullptr;
    std::unordered_map<Connection*, std::unique_ptr<Connection>> connections;
    std::thread thread;

    void add(int fd, void* key) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = key;
        if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
            fail("epoll_ctl");
        }
    }

    void accept() {
        for (;;) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                return;
            }
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            auto connection = std::make_unique<Connection>();
            connection->fd = fd;
            if (context != nullptr) {
                connection->ssl = SSL_new(context);
                SSL_set_fd(connection->ssl, fd);
                SSL_set_accept_state(connection->ssl);
                SSL_set_mode(connection->ssl,
                             SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
                SSL_set_read_ahead(connection->ssl, 1);
                SSL_set_default_read_buffer_len(connection->ssl, receiveBytes);
            }
            add(fd, connection.get());
            connections.emplace(connection.get(), std::move(connection));
        }
    }

    void run() {
        epoll_event events[256];
        for (;;) {
            const int ready = epoll_wait(epoll, events, 256, -1);
            for (int i = 0; i < ready; ++i) {
                void* key = events[i].data.ptr;
                if (key == &wake) {
                    return;
                }
                if (key == &listener) {
                    accept();
                    continue;
                }
                auto* connection = static_cast<Connection*>(key);
                if (!connection->onReady(epoll)) {
                    epoll_ctl(epoll, EPOLL_CTL_DEL, connection->fd, nullptr);
                    connections.erase(connection);
                }
            }
        }
    }
};

FloorEchoServer::FloorEchoServer(bool tls, const std::string& certificate, const std::string& key)
    : impl(new Impl) {
    if (tls) {
        impl->context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_set_min_proto_version(impl->context, TLS1_2_VERSION);
        SSL_CTX_set_max_proto_version(impl->context, TLS1_2_VERSION);
        if (SSL_CTX_use_certificate_chain_file(impl->context, certificate.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(impl->context, key.c_str(), SSL_FILETYPE_PEM) != 1) {
            fail("the floor server's certificate");
        }
    }
    impl->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (impl->listener < 0 ||
        ::bind(impl->listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(impl->listener, 1024) != 0 ||
        ::getsockname(impl->listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fail("the floor server's listener");
    }
    impl->port = ntohs(address.sin_port);
    impl->epoll = epoll_create1(EPOLL_CLOEXEC);
    impl->wake = eventfd(0, EFD_CLOEXEC);
    impl->add(impl->listener, &impl->listener);
    impl->add(impl->wake, &impl->wake);
    impl->thread = std::thread([this] { impl->run(); });
}

FloorEchoServer::~FloorEchoServer() {
    const uint64_t one = 1;
    (void)!::write(impl->wake, &one, sizeof one);
    impl->thread.join();
    impl->connections.clear();
    ::close(impl->listener);
    ::close(impl->wake);
    ::close(impl->epoll);
    if (impl->context != nullptr) {
        SSL_CTX_free(impl->context);
    }
}

unsigned short FloorEchoServer::port() const {
    return impl->port;
}

}  // namespace floor_echo
