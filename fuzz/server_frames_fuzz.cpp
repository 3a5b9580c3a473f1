// Arbitrary bytes as what a client sends to an open server session: the connection engine
// with the session's settings, owned only by its pending handlers, reads them in chunks the
// input chooses, while the host closes, echoes messages or meets a failing write as the input
// chooses. Every run is held to a plain model of the reader (same messages, same first
// failure, the expected unmasked frames written, nothing after the end, no message above the
// bound), and the session must be gone once nothing is pending.
#include <cstddef>
#include <cstdint>

#include "ReaderModel.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tidewire_fuzz::quietLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tidewire_fuzz::fuzzOpenConnection<tidewire_fuzz::ServerSide>(data, size);
    return 0;
}
