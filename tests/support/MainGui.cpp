// GoogleTest main with an offscreen Qt GUI application (images, fonts, PDF
// painting) that needs no display.
#include "tests/support/Sandbox.h"

#include <QGuiApplication>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!tbx::test::mayRunTests(argv[0]))
        return 1;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
