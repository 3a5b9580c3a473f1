#include "transport/UdpBatches.h"

#include <cerrno>
#include <cstring>

namespace relaymatrix::extensions::tidewire {

namespace {

// Queued bytes kept for reuse between bursts: several thousand datagrams of a typical size;
// giving back and faulting in fresh pages for every burst would cost more than sending it.
constexpr size_t kRetainedSendBytes = 8 << 20;

}  // namespace

UdpReceiveBatch::UdpReceiveBatch(size_t batchSize, size_t receiveSize)
    : receiveSize(receiveSize),
      buffers(batchSize * receiveSize),
      senders(batchSize),
      controls(batchSize),
      vectors(batchSize),
      headers(batchSize) {
    for (size_t i = 0; i < batchSize; ++i) {
        vectors[i] = {buffers.data() + i * receiveSize, receiveSize};
    }
}

size_t UdpReceiveBatch::receive(int fd, std::error_code& error) {
    // The kernel shortens the name and control lengths it fills in: restore them every call.
    for (size_t i = 0; i < headers.size(); ++i) {
        msghdr& header = headers[i].msg_hdr;
        header = {};
        header.msg_name = &senders[i];
        header.msg_namelen = sizeof(sockaddr_storage);
        header.msg_iov = &vectors[i];
        header.msg_iovlen = 1;
        header.msg_control = controls[i].bytes;
        header.msg_controllen = sizeof(controls[i].bytes);
    }
    for (;;) {
        // MSG_TRUNC: msg_len is the datagram's real length even when it was cut.
        const int count = ::recvmmsg(fd, headers.data(), static_cast<unsigned>(headers.size()),
                                     MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (count >= 0) {
            return static_cast<size_t>(count);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            error = std::error_code(errno, std::system_category());
        }
        return 0;
    }
}

bool UdpReceiveBatch::dropCounter(size_t i, uint32_t& value) const {
    msghdr& header = const_cast<msghdr&>(headers[i].msg_hdr);
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            std::memcpy(&value, CMSG_DATA(c), sizeof value);
            return true;
        }
    }
    return false;
}

UdpSendQueue::UdpSendQueue(size_t batchSize)
    : batchSize(batchSize), headers(batchSize), vectors(batchSize) {}

bool UdpSendQueue::push(const char* data, size_t size, const asio::ip::udp::endpoint& to) {
    std::lock_guard<std::mutex> lock(mutex);
    queued.entries.push_back({queued.bytes.size(), size, to});
    queued.bytes.insert(queued.bytes.end(), data, data + size);
    ++queuedCount;
    return !std::exchange(writing, true);
}

UdpSendQueue::Progress UdpSendQueue::write(int fd, size_t maxCalls, const Report& report) {
    for (size_t call = 0; call < maxCalls; ++call) {
        if (next == sending.entries.size()) {
            // Storage of an ordinary burst is reused; that of a huge one goes right away, so a
            // single flood of sends does not pin its memory.
            if (sending.bytes.capacity() > kRetainedSendBytes) {
                sending = Burst();
            }
            sending.bytes.clear();
            sending.entries.clear();
            next = 0;
            std::lock_guard<std::mutex> lock(mutex);
            if (queued.entries.empty()) {
                writing = false;
                return Progress::idle;
            }
            std::swap(sending, queued);
        }
        const size_t count = std::min(batchSize, sending.entries.size() - next);
        for (size_t i = 0; i < count; ++i) {
            Entry& entry = sending.entries[next + i];
            vectors[i] = {sending.bytes.data() + entry.offset, entry.size};
            msghdr& header = headers[i].msg_hdr;
            header = {};
            header.msg_name = entry.to.data();
            header.msg_namelen = static_cast<socklen_t>(entry.to.size());
            header.msg_iov = &vectors[i];
            header.msg_iovlen = 1;
        }
        const int sent = ::sendmmsg(fd, headers.data(), static_cast<unsigned>(count), MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Progress::blocked;
        }
        // A failure belongs to the first datagram not taken; the ones after it go next call.
        const size_t handled = sent < 0 ? 1 : static_cast<size_t>(sent);
        const std::error_code failure =
            sent < 0 ? std::error_code(errno, std::system_category()) : std::error_code();
        for (size_t i = 0; i < handled; ++i) {
            const Entry& entry = sending.entries[next + i];
            report(sent < 0 ? 0 : headers[i].msg_len, entry.to, failure);
        }
        next += handled;
        markHandled(handled);
    }
    return Progress::more;
}

void UdpSendQueue::markHandled(size_t count) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        handledCount += count;
        // Waking a flusher on every batch would cost it a context switch per batch.
        wake = handledCount >= nextWake;
        if (wake) {
            nextWake = UINT64_MAX;
        }
    }
    if (wake) {
        handledChanged.notify_all();
    }
}

bool UdpSendQueue::waitHandled() {
    std::unique_lock<std::mutex> lock(mutex);
    const uint64_t target = queuedCount;
    while (open && handledCount < target) {
        nextWake = std::min(nextWake, target);
        handledChanged.wait(lock);
    }
    return handledCount >= target;
}

void UdpSendQueue::setOpen(bool value) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = value;
    }
    handledChanged.notify_all();
}

}  // namespace relaymatrix::extensions::tidewire
