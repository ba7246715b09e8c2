// Test entry for tests that need a QApplication: offscreen unless told
// otherwise, in the Russian locale the program falls back to.
#include "store/DateTime.h"
#include "tests/support/ChildProcess.h"

#include <QApplication>
#include <QLocale>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    if (const int code = RunChildRole(argc, argv); code >= 0)
        return code;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
