// Walks through the library the way a host uses it: announce the extension, then run
// the transports on loopback. Run it through scripts/demo.sh to see the debug log.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "tidewire/TidewireExtension.h"
#include "tidewire/UDPServer.h"

namespace {

// Prints what arrives and lets the demo wait for a number of datagrams.
class PrintingDelegate : public UDPServerDelegate {
public:
    void onMessageReceived(const char* data, size_t size) override {
        std::printf("demo: delegate received %zu bytes: %.*s\n", size, static_cast<int>(size),
                    data);
        std::lock_guard<std::mutex> lock(mutex_);
        ++received_;
        changed_.notify_all();
    }

    bool waitFor(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return received_ >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int received_ = 0;
};

bool runUdpDemo() {
    std::printf("demo: UDP -- a receive-only server and a sending-mode server on loopback\n");
    PrintingDelegate delegate;
    UDPServer receiver(0);  // port 0: the system picks a free port
    receiver.setDelegate(&delegate);
    receiver.start();

    UDPServer sender("127.0.0.1", receiver.boundPort(), 0);
    sender.start();
    const std::vector<std::string> datagrams = {"hello", "from the", "sending-mode server"};
    for (const auto& text : datagrams) {
        sender.send(text.data(), text.size());
    }
    const bool delivered = delegate.waitFor(static_cast<int>(datagrams.size()));

    std::printf("demo: the receive-only server refuses to send (result %d)\n",
                receiver.send("no", 2));
    sender.stop();
    receiver.stop();
    return delivered;
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // keep our lines in step with the log
    relaymatrix::extensions::tidewire::TidewireExtension().initialize();
    const bool udpOk = runUdpDemo();
    std::printf("demo: %s\n", udpOk ? "done" : "FAILED: datagrams did not arrive");
    return udpOk ? 0 : 1;
}
