// GoogleTest main with an offscreen Qt Widgets application, for the windows'
// widget tests; no display is needed.
#include "tests/support/Sandbox.h"

#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!tbx::test::mayRunTests(argv[0]))
        return 1;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
