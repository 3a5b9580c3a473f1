// Arbitrary bytes as what the peer of an open connection sends, on either side, read in
// chunks and under a message bound the first byte chooses, while the host echoes every
// message or starts closing at once. Whatever arrives: no message above the bound reaches
// the host, nothing reaches it after the connection ended, every byte written is a whole
// frame (unless a write was cut), and the connection is gone once nothing is pending.
#include <cstdlib>
#include <string>

#include "MemoryConnection.h"
#include "relaymatrix/LogCapture.h"

using namespace tidewire_memory;

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

template <bool Client>
void run(const Script& script, uint8_t options) {
    static constexpr uint64_t bounds[4] = {100 * 1024 * 1024, 0, 7, 1000};
    const uint64_t bound = bounds[(options >> 4) & 3];
    bool ended = false;
    Outcome outcome = runConnection<Client>(script, bound, [&](HostSession& host) {
        host.onOpenHandler = [&] {
            require(!ended);
            if (options & 0x40)
                host.close({0x03, 0xE8});
        };
        host.onMessageHandler = [&](const Bytes& message, bool isText) {
            require(!ended && message.size() <= bound);
            if (options & 0x80)
                host.send(message, isText, options & 3);
        };
        host.onCloseHandler = [&] {
            require(!ended);
            ended = true;
        };
        host.onErrorHandler = [&](const std::string&) { ended = true; };
    });
    require(outcome.closeCalls >= 1);
    // Walk the frames written: headers well formed, masked exactly on the client side.
    size_t at = 0;
    while (outcome.output.size() - at >= 2) {
        const uint8_t lengthCode = outcome.output[at + 1] & 0x7F;
        require(((outcome.output[at + 1] & 0x80) != 0) == Client);
        size_t header = 2 + (lengthCode == 126 ? 2 : lengthCode == 127 ? 8 : 0) + (Client ? 4 : 0);
        uint64_t length = lengthCode;
        if (lengthCode >= 126 && outcome.output.size() - at >= header) {
            length = 0;
            for (size_t i = 2; i < header - (Client ? 4 : 0); ++i)
                length = (length << 8) | outcome.output[at + i];
        }
        if (outcome.output.size() - at < header + length)
            break;
        at += header + length;
    }
    require(at == outcome.output.size() || script.failWriteAfter != SIZE_MAX);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("RELAYMATRIX_LOG_LEVEL", "off", 1);
    relaymatrix::testing::setLogSink([](relaymatrix::testing::LogLevel, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    static constexpr size_t chunks[4] = {0, 1, 7, 300};
    Script script;
    script.input.assign(data + 2, data + size);
    script.readChunk = chunks[data[1] & 3];
    if (data[1] & 4)
        script.failWriteAfter = data[1] >> 3;
    if (data[0] & 8) {
        run<true>(script, data[0]);
    } else {
        run<false>(script, data[0]);
    }
    return 0;
}
