#pragma once
// The one QCoreApplication of a test program, made on first use on the
// thread that runs the tests.

#include <QCoreApplication>

namespace orvo::testing {

inline QCoreApplication& qtApp()
{
    static int argc = 1;
    static char name[] = "orvo-test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    return *app;
}

} // namespace orvo::testing
