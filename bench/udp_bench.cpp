// What the UDP endpoint costs beside a plain recvmmsg/sendmmsg loop on a socket with the same
// options, measured in the same run, for 64-byte and 1200-byte datagrams:
//   - receive: a sender blasts datagrams as fast as sendmmsg takes them; delivered per second
//     and the share the receiver's kernel buffer dropped;
//   - paced receive: 200,000 datagrams per second for one second; the share dropped;
//   - send: datagrams queued one call each, then flushed (ours) or sent in batches (raw); the
//     rate at which the kernel took them.
// The library logs errors only, as a busy production host would; a debug line per datagram is not
// what is measured here. Prints figures; run it by hand on a normal build:
//   build/<dir>/bench/udp_bench [datagrams]
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "tidewire/TidewireExtension.h"
#include "tidewire/UDPServer.h"

namespace {

using asio::ip::udp;
using Clock = std::chrono::steady_clock;
using relaymatrix::extensions::tidewire::TidewireExtension;

constexpr size_t kBatch = 64;
constexpr int kBufferBytes = 4 << 20;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// What a receiver saw: how many, and when the first and the last arrived.
struct Tally {
    std::atomic<uint64_t> count{0};
    Clock::time_point first, last;  // written by the receiving thread only
    void add(uint64_t n) {
        const Clock::time_point now = Clock::now();
        if (count.load(std::memory_order_relaxed) == 0) {
            first = now;
        }
        last = now;
        count.fetch_add(n, std::memory_order_release);
    }
    double rate() const { return (count - 1) / seconds(last - first); }
};

struct Counting : UDPServerDelegate {
    Tally tally;
    void onMessageReceived(const char*, size_t) override { tally.add(1); }
    void onDatagramReceived(const UDPDatagram&) override { tally.add(1); }
};

UDPOptions receiveOptions(size_t size) {
    return {"127.0.0.1", size, kBufferBytes, kBufferBytes, kBatch, kBatch, false};
}

// The raw receiver: poll, then recvmmsg until the socket is empty, counting.
class RawReceiver {
public:
    explicit RawReceiver(size_t size)
        : socket(io, udp::v4()), buffers(kBatch * size), vectors(kBatch), headers(kBatch) {
        socket.set_option(asio::socket_base::receive_buffer_size(kBufferBytes));
        socket.bind(udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        for (size_t i = 0; i < kBatch; ++i) {
            vectors[i] = {buffers.data() + i * size, size};
            headers[i].msg_hdr = {};
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        worker = std::thread([this] { run(); });
    }
    ~RawReceiver() {
        done = true;
        worker.join();
    }
    unsigned short port() const { return socket.local_endpoint().port(); }
    Tally tally;

private:
    void run() {
        pollfd wait{socket.native_handle(), POLLIN, 0};
        while (!done) {
            if (::poll(&wait, 1, 20) <= 0) {
                continue;
            }
            int n;
            while ((n = ::recvmmsg(socket.native_handle(), headers.data(), kBatch, MSG_DONTWAIT,
                                   nullptr)) > 0) {
                tally.add(static_cast<uint64_t>(n));
            }
        }
    }
    asio::io_context io;
    udp::socket socket;
    std::vector<char> buffers;
    std::vector<iovec> vectors;
    std::vector<mmsghdr> headers;
    std::atomic<bool> done{false};
    std::thread worker;
};

// Sends `total` datagrams of `size` bytes to `port` with sendmmsg, at `perSecond` (0: as fast
// as the kernel takes them), each with its destination as a server answering many peers
// would. Returns the time it took.
class RawSender {
public:
    explicit RawSender(size_t size) : socket(io, udp::v4()), payload(size, 'p') {
        socket.set_option(asio::socket_base::send_buffer_size(kBufferBytes));
    }
    double send(unsigned short port, uint64_t total, uint64_t perSecond) {
        const udp::endpoint to(asio::ip::make_address("127.0.0.1"), port);
        for (size_t i = 0; i < kBatch; ++i) {
            vectors[i] = {payload.data(), payload.size()};
            headers[i].msg_hdr = {};
            headers[i].msg_hdr.msg_name = const_cast<sockaddr*>(to.data());
            headers[i].msg_hdr.msg_namelen = static_cast<socklen_t>(to.size());
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        const Clock::time_point start = Clock::now();
        // Paced: small bursts on a schedule, so the rate holds at any moment, not on average.
        const uint64_t burst = perSecond == 0 ? kBatch : 20;
        for (uint64_t sent = 0; sent < total;) {
            if (perSecond != 0) {
                const auto due = start + std::chrono::nanoseconds(sent * 1000000000 / perSecond);
                while (Clock::now() < due) {
                }
            }
            const int n = ::sendmmsg(socket.native_handle(), headers,
                                     static_cast<unsigned>(std::min(burst, total - sent)), 0);
            sent += n > 0 ? static_cast<uint64_t>(n) : 0;
        }
        return seconds(Clock::now() - start);
    }

private:
    asio::io_context io;
    udp::socket socket;
    std::string payload;
    iovec vectors[kBatch];
    mmsghdr headers[kBatch];
};

// Unpaced: two senders at once, so that the receiver, not the sender, sets the pace.
void blast(size_t size, unsigned short port, uint64_t total, uint64_t perSecond) {
    if (perSecond != 0) {
        RawSender(size).send(port, total, perSecond);
        return;
    }
    std::thread second([&] { RawSender(size).send(port, total / 2, 0); });
    RawSender(size).send(port, total - total / 2, 0);
    second.join();
}

// Waits until the receiver has seen nothing new for a while: the sender is done by then.
void settle(const Tally& tally) {
    uint64_t seen = ~uint64_t{0};
    while (tally.count.load(std::memory_order_acquire) != seen) {
        seen = tally.count.load(std::memory_order_acquire);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

struct ReceiveFigures {
    double rate, dropped;
};

// `withOptions` false: the endpoint as it is without options (one datagram per wakeup, the
// system's buffer size), for comparison.
ReceiveFigures oursReceiving(size_t size, uint64_t total, uint64_t perSecond,
                             bool withOptions = true) {
    Counting counting;
    UDPServer server = withOptions ? UDPServer(0, receiveOptions(size)) : UDPServer(0);
    server.setDelegate(&counting);
    server.start();
    blast(size, server.boundPort(), total, perSecond);
    settle(counting.tally);
    server.stop();
    return {counting.tally.rate(), 1.0 - static_cast<double>(counting.tally.count) / total};
}

ReceiveFigures rawReceiving(size_t size, uint64_t total, uint64_t perSecond) {
    RawReceiver receiver(size);
    blast(size, receiver.port(), total, perSecond);
    settle(receiver.tally);
    return {receiver.tally.rate(), 1.0 - static_cast<double>(receiver.tally.count) / total};
}

// Datagrams per second taken by the kernel: ours queued one `send` call each, flushed.
double oursSending(size_t size, uint64_t total, unsigned short sink) {
    UDPServer server("127.0.0.1", sink, 0, receiveOptions(size));
    server.start();
    const std::string payload(size, 'p');
    const Clock::time_point start = Clock::now();
    // Flushed every thousand or so, as a host bounds what it has queued.
    for (uint64_t i = 1; i <= total; ++i) {
        server.send(payload.data(), payload.size());
        if (i % 1024 == 0) {
            server.flush();
        }
    }
    server.flush();
    const double rate = total / seconds(Clock::now() - start);
    server.stop();
    return rate;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

// The machine is shared: each figure is the median of several rounds, ours and the raw loop
// taking turns, and the ratio the median of the rounds' ratios.
int main(int argc, char** argv) {
    const uint64_t total = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 300000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    TidewireExtension::setLogLevel(TidewireExtension::LogLevel::error);
    std::printf("median of %d rounds          ours        raw loop    ours/raw\n", rounds);
    for (const size_t size : {size_t{64}, size_t{1200}}) {
        std::vector<double> oursRate, rawRate, rate, oursDrop, rawDrop, oursPaced, rawPaced,
            oursSend, rawSend, send, plainRate, plainDrop;
        for (int round = 0; round < rounds; ++round) {
            const ReceiveFigures ours = oursReceiving(size, total, 0);
            const ReceiveFigures raw = rawReceiving(size, total, 0);
            oursRate.push_back(ours.rate);
            rawRate.push_back(raw.rate);
            rate.push_back(ours.rate / raw.rate);
            oursDrop.push_back(ours.dropped);
            rawDrop.push_back(raw.dropped);
            const ReceiveFigures plain = oursReceiving(size, total, 0, false);
            plainRate.push_back(plain.rate);
            plainDrop.push_back(plain.dropped);
            oursPaced.push_back(oursReceiving(size, 200000, 200000).dropped);
            rawPaced.push_back(rawReceiving(size, 200000, 200000).dropped);
            RawReceiver sink(size);  // reads, so that the kernel drops nothing it could keep
            oursSend.push_back(oursSending(size, total, sink.port()));
            rawSend.push_back(total / RawSender(size).send(sink.port(), total, 0));
            send.push_back(oursSend.back() / rawSend.back());
        }
        std::printf("receive %4zu B unpaced  %7.0fk/s %3.0f%%  %7.0fk/s %3.0f%%  %6.2f\n", size,
                    median(oursRate) / 1e3, median(oursDrop) * 100, median(rawRate) / 1e3,
                    median(rawDrop) * 100, median(rate));
        std::printf("  without options     %7.0fk/s %3.0f%%\n", median(plainRate) / 1e3,
                    median(plainDrop) * 100);
        std::printf(
            "receive %4zu B paced 200k/s   %5.2f%%          %5.2f%%   dropped (worst %.2f%% / "
            "%.2f%%)\n",
            size, median(oursPaced) * 100, median(rawPaced) * 100,
            *std::max_element(oursPaced.begin(), oursPaced.end()) * 100,
            *std::max_element(rawPaced.begin(), rawPaced.end()) * 100);
        std::printf("send    %4zu B          %7.0fk/s       %7.0fk/s       %6.2f\n", size,
                    median(oursSend) / 1e3, median(rawSend) / 1e3, median(send));
    }
    return 0;
}
