// GoogleTest main with a Qt core application, so main-queue work and timers run
// when a test pumps the main thread's event loop.
#include "tests/support/Sandbox.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!tbx::test::mayRunTests(argv[0]))
        return 1;
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
