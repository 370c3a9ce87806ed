// Entry point of the test programs that need no display.
#include "Isolation.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    shotlark::test::installPerTestIsolation();
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
