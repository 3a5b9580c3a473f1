#pragma once

#include <sys/socket.h>

#include <asio/ip/udp.hpp>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <system_error>
#include <vector>

namespace relaymatrix::extensions::tidewire {

// Receive buffers for recvmmsg, allocated once: one slot per datagram of a batch, each with its
// bytes, its sender and room for the kernel's drop counter. Worker thread only.
class UdpReceiveBatch {
public:
    UdpReceiveBatch(size_t batchSize, size_t receiveSize);

    // Takes up to a batch of waiting datagrams without blocking. Returns how many, 0 when
    // none wait or on failure (then `error` is set).
    size_t receive(int fd, std::error_code& error);

    size_t capacity() const { return headers.size(); }
    const char* data(size_t i) const { return buffers.data() + i * receiveSize; }
    size_t kept(size_t i) const { return std::min<size_t>(headers[i].msg_len, receiveSize); }
    size_t length(size_t i) const { return headers[i].msg_len; }  // before any cut
    const void* sender(size_t i) const { return &senders[i]; }
    size_t senderSize(size_t i) const { return headers[i].msg_hdr.msg_namelen; }
    // The socket's cumulative drop counter as the kernel attached it to datagram i.
    bool dropCounter(size_t i, uint32_t& value) const;

private:
    struct alignas(cmsghdr) Control {
        char bytes[CMSG_SPACE(sizeof(uint32_t))];
    };
    const size_t receiveSize;
    std::vector<char> buffers;  // batch x receiveSize
    std::vector<sockaddr_storage> senders;
    std::vector<Control> controls;
    std::vector<iovec> vectors;
    std::vector<mmsghdr> headers;
};

// Datagrams queued by any thread and handed to the kernel by the worker with sendmmsg. The
// bytes of a whole burst live in one buffer, so queueing does not allocate per datagram once
// the buffers have grown to the burst. Counts what was queued and what was handled (sent or
// failed), so a host thread can wait for everything it queued.
class UdpSendQueue {
public:
    explicit UdpSendQueue(size_t batchSize);

    // Any thread. True when the worker has to be woken: the queue was idle.
    bool push(const char* data, size_t size, const asio::ip::udp::endpoint& to);

    enum class Progress { idle, blocked, more };
    // Reports each datagram: its size, destination and the error of its send (none when sent).
    using Report =
        std::function<void(size_t, const asio::ip::udp::endpoint&, const std::error_code&)>;
    // Worker thread: at most `maxCalls` sendmmsg calls. `idle` once everything queued was
    // handled (the next push wakes the worker again), `blocked` when the kernel's send buffer
    // is full, `more` when the call budget ran out first.
    Progress write(int fd, size_t maxCalls, const Report& report);

    // Any thread but the worker: waits until everything queued before the call was handled.
    // False when `close` came first or had been called.
    bool waitHandled();
    // Opening lets `waitHandled` wait; closing releases every waiter (the worker stopped).
    void setOpen(bool open);

private:
    struct Entry {
        size_t offset;  // into bytes
        size_t size;
        asio::ip::udp::endpoint to;
    };
    struct Burst {
        std::vector<char> bytes;
        std::vector<Entry> entries;
    };

    void markHandled(size_t count);

    const size_t batchSize;
    std::mutex mutex;
    std::condition_variable handledChanged;
    Burst queued;                    // guarded by mutex
    bool writing = false;            // guarded: a write is posted or under way
    bool open = false;               // guarded
    uint64_t queuedCount = 0;        // guarded: datagrams ever pushed
    uint64_t handledCount = 0;       // guarded: datagrams ever sent or failed
    uint64_t nextWake = UINT64_MAX;  // guarded: the smallest count a flusher waits for
    Burst sending;                   // worker only
    size_t next = 0;                 // worker only: first entry of `sending` not yet handled
    std::vector<mmsghdr> headers;    // worker only, batchSize each
    std::vector<iovec> vectors;
};

}  // namespace relaymatrix::extensions::tidewire
