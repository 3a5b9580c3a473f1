#include <gtest/gtest.h>

#include "Support.h"
#include "tidewire/TidewireExtension.h"

TEST(TidewireExtension, InitializeLogsItsLineAtDebugEachTime) {
    tidewire_test::LogRecorder log;
    relaymatrix::extensions::tidewire::TidewireExtension extension;
    extension.initialize();
    extension.initialize();
    const std::string line = "debug Initialized Relaymatrix Extension -- Tidewire --";
    EXPECT_EQ(log.all(), (std::vector<std::string>{line, line}));
}
