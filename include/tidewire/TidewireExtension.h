#pragma once

namespace relaymatrix::extensions::tidewire {

// Entry the host calls once the library is loaded. It only announces the extension
// in the host log; calling it again logs the announcement again.
class TidewireExtension {
public:
    void initialize();
};

}  // namespace relaymatrix::extensions::tidewire
