#include <gtest/gtest.h>

#include "LogRecorder.h"
#include "tidewire/TidewireExtension.h"

using relaymatrix::extensions::tidewire::TidewireExtension;
using tidewire_test::LogLevel;
using tidewire_test::LogLine;
using tidewire_test::LogRecorder;

TEST(TidewireExtension, InitializeLogsItsLineAtDebugEachTime) {
    LogRecorder log;
    TidewireExtension extension;
    extension.initialize();
    extension.initialize();
    const LogLine expected{LogLevel::debug, "Initialized Relaymatrix Extension -- Tidewire --"};
    EXPECT_EQ(log.lines(), (std::vector<LogLine>{expected, expected}));
}
