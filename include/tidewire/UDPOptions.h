#pragma once

#include <cstddef>
#include <string>

// Settings for a UDPServer, given to its constructor. A server built without them behaves
// exactly as before: IPv4 on 0.0.0.0, 1024 bytes kept per datagram, longer ones cut without
// a sign, one datagram per system call. Building with options (even all defaults) switches on
// what every field below leaves unsaid: truncation is reported, the sender's address reaches
// `UDPServerDelegate::onDatagramReceived`, kernel drops are counted, and log lines show the
// port actually bound.
struct UDPOptions {
    // Numeric local address to bind: "" is 0.0.0.0 (IPv4, as without options), "::" binds
    // IPv6 and IPv4 together (dual-stack; IPv4 senders show as their IPv4 address), any other
    // IPv6 or IPv4 literal binds that address only. Not numeric: the constructor throws
    // std::system_error with EINVAL.
    std::string bindAddress;
    // Bytes kept of each datagram, 1 to 65507 on an IPv4 socket, 65527 on an IPv6 one
    // (std::invalid_argument otherwise). Longer datagrams are delivered cut to this size,
    // marked truncated with their real length, and logged once each at error level:
    // "[UDPServer] Datagram truncated: N bytes, kept M". The server keeps
    // receiveSize x receiveBatch bytes of buffer for its whole life.
    size_t receiveSize = 1024;
    // SO_RCVBUF and SO_SNDBUF in bytes; 0 keeps the system's default. The kernel doubles the
    // value for its bookkeeping and caps it at net.core.rmem_max / wmem_max.
    int receiveBufferBytes = 0;
    int sendBufferBytes = 0;
    // Datagrams taken per recvmmsg call and handed to the kernel per sendmmsg call, 1 to 64
    // (std::invalid_argument otherwise). The delegate still sees one call per datagram, in
    // arrival order.
    size_t receiveBatch = 1;
    size_t sendBatch = 1;
    // Lets `sendTo` send to any address; without it `sendTo` is refused with 1.
    bool allowSendTo = false;
};
