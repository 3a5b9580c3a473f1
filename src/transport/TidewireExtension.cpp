#include "tidewire/TidewireExtension.h"

#include "core/LogThreshold.h"
#include "relaymatrix/Logger.h"

namespace relaymatrix::extensions::tidewire {

void TidewireExtension::initialize() {
    if (logsAt(LogLevel::debug)) {
        relaymatrix::Logger::debug("Initialized Relaymatrix Extension -- Tidewire --");
    }
}

void TidewireExtension::setLogLevel(LogLevel level) {
    setLowestLogLevel(level);
}

}  // namespace relaymatrix::extensions::tidewire
