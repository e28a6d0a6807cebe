#include <gtest/gtest.h>

#include "application.h"

int main(int argc, char* argv[])
{
    // Test discovery runs the binary without the ctest environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    CApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
