// Arbitrary bytes as what a server sends to an open client connection: the connection engine
// with the client's settings reads them in chunks the input chooses, while the host closes,
// echoes messages or meets a failing write as the input chooses. Every run is held to a plain
// model of the reader: the same messages, the same first failure, the expected frames written
// (masked), nothing after the end, no message above the bound.
#include <cstddef>
#include <cstdint>

#include "ReaderModel.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tidewire_fuzz::quietLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tidewire_fuzz::fuzzOpenConnection<tidewire_fuzz::ClientSide>(data, size);
    return 0;
}
