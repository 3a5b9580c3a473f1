#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

// Set in the sanitizer configurations, where every byte moved costs many times more.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define TIDEWIRE_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define TIDEWIRE_TEST_SANITIZED 1
#endif
#endif
#ifndef TIDEWIRE_TEST_SANITIZED
#define TIDEWIRE_TEST_SANITIZED 0
#endif

namespace tidewire_test {

inline constexpr bool sanitizedBuild = TIDEWIRE_TEST_SANITIZED != 0;

// A TLS peer writing to a connection the other side has dropped would get SIGPIPE (OpenSSL
// writes with write(2)); hostile-peer tests expect failed writes instead.
inline void ignoreBrokenPipe() {
    ::signal(SIGPIPE, SIG_IGN);
}

// Drops a connection with an RST instead of a FIN: no linger, then close.
inline void resetAndClose(int fd) {
    const linger immediate{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
    ::close(fd);
}

// A TCP connection to 127.0.0.1:`port`, or -1.
inline int connectLoopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Starts a TLS client handshake with the server at 127.0.0.1:`port` and resets the connection
// once the server's first flight has arrived, so the server is left halfway through its
// handshake, waiting for the client's key exchange. The ClientHello is made in memory and
// written by hand, so the handshake can never run further, however fast the server answers.
// False when the server did not answer within `timeout`.
inline bool resetHalfwayThroughTls(uint16_t port, SSL_CTX* context,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const int fd = connectLoopback(port);
    if (fd < 0) {
        return false;
    }
    SSL* tls = SSL_new(context);
    BIO* incoming = BIO_new(BIO_s_mem());
    BIO* outgoing = BIO_new(BIO_s_mem());
    SSL_set_bio(tls, incoming, outgoing);
    SSL_set_connect_state(tls);
    SSL_do_handshake(tls);  // writes the ClientHello into `outgoing`, then wants input
    char* hello = nullptr;
    const long helloSize = BIO_get_mem_data(outgoing, &hello);
    bool answered = helloSize > 0 &&
                    ::send(fd, hello, static_cast<size_t>(helloSize), MSG_NOSIGNAL) == helloSize;
    pollfd entry{fd, POLLIN, 0};
    answered = answered && ::poll(&entry, 1, static_cast<int>(timeout.count())) == 1;
    ERR_clear_error();
    SSL_free(tls);  // frees both memory BIOs
    resetAndClose(fd);
    return answered;
}

// The process's resident memory now, in bytes.
inline long residentBytes() {
    std::ifstream statm("/proc/self/statm");
    long sizePages = 0;
    long residentPages = 0;
    statm >> sizePages >> residentPages;
    return residentPages * ::sysconf(_SC_PAGESIZE);
}

// The number of threads of this process.
inline int threadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::stoi(line.substr(8));
        }
    }
    return -1;
}

// Raises the soft limit on open descriptors to the hard limit; returns the soft limit now in
// force.
inline rlim_t raiseDescriptorLimitToHard() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur;
}

}  // namespace tidewire_test
