// Arbitrary bytes as what the peer of an open connection sends, on either side, read in
// chunks and under a message bound the first byte chooses, with or without compression
// agreed, while the host echoes every message or starts closing at once. Whatever arrives: no
// message above the bound reaches the host, nothing reaches it after the connection ended, every
// byte written is a whole frame (unless a write was cut), and the connection is gone once nothing
// is pending.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "Frames.h"
#include "MemoryConnection.h"
#include "core/Utf8Validator.h"
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
    Bytes output = runConnection<Client>(script, bound, [&](WebSocketSession& host) {
        host.onOpenHandler = [&] {
            require(!ended);
            if (options & 0x40)
                host.close({0x03, 0xE8});
        };
        host.onMessageHandler = [&](const Bytes& message, bool isText) {
            require(!ended && message.size() <= bound);
            // Strict mode lets no text through that is not UTF-8.
            require(!script.strict || !isText ||
                    relaymatrix::extensions::tidewire::Utf8Validator::valid(message.data(),
                                                                            message.size()));
            if (options & 0x80)
                host.send(message, isText, options & 3);
        };
        host.onCloseHandler = [&] {
            require(!ended);
            ended = true;
        };
        host.onErrorHandler = [&](const std::string&) { ended = true; };
    });
    std::vector<bool> masks;
    tidewire_test::parseFrames(output, &masks);
    require(output.empty() || script.failWriteAfter != SIZE_MAX);
    require(std::count(masks.begin(), masks.end(), !Client) == 0);
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
    if (data[0] & 4)
        script.extensions = "permessage-deflate";
    if (data[1] & 4)
        script.failWriteAfter = data[1] >> 3;
    else
        script.strict = (data[1] & 8) != 0;
    if (data[0] & 8) {
        run<true>(script, data[0]);
    } else {
        run<false>(script, data[0]);
    }
    return 0;
}
