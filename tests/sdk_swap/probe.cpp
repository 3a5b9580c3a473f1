#include "tidewire/TidewireExtension.h"

int main() {
    relaymatrix::extensions::tidewire::TidewireExtension().initialize();
    return 0;
}
