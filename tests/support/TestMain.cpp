// main() for the tests without widgets.
#include "Fixtures.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testsupport::PinEnvironment();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
