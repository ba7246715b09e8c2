// Test entry of the store's tests: a start with "--child" runs one role of
// a multi-process test, any other runs the tests.
#include "tests/support/ChildProcess.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (const int code = RunChildRole(argc, argv); code >= 0)
        return code;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
