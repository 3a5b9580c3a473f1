#pragma once

namespace relaymatrix::extensions::tidewire {

// Entry the host calls once the library is loaded. It only announces the extension
// in the host log; calling it again logs the announcement again.
class TidewireExtension {
public:
    enum class LogLevel { trace, debug, info, error, off };

    void initialize();

    // The lowest level of the lines the library hands to the host's logger; lines below it
    // are not even built (the per-frame trace and debug lines cost most). Default: trace,
    // every line. Any thread, any time; lines already being built may still go out.
    static void setLogLevel(LogLevel level);
};

}  // namespace relaymatrix::extensions::tidewire
