#include "tidewire/TidewireExtension.h"

#include "relaymatrix/Logger.h"

namespace relaymatrix::extensions::tidewire {

void TidewireExtension::initialize() {
    relaymatrix::Logger::debug("Initialized Relaymatrix Extension -- Tidewire --");
}

}  // namespace relaymatrix::extensions::tidewire
