// Holds a single-instance key the way the GUI programs do: exits with -1
// when another process holds it, else says "held" and waits to be ended.

#include "controlpanel/single_instance.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    SingleInstanceGuard guard(QString::fromLocal8Bit(argv[1]));
    if (!guard.acquire())
        return -1;
    std::printf("held\n");
    std::fflush(stdout);
    std::getchar();  // until the test closes our input or kills us
    guard.release();
    return 0;
}
