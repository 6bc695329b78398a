// orvo-panel-screenshot FILE [SECONDS]: builds the control panel's main
// window, waits (at most SECONDS, default 10) until it has found a mixer and
// read its settings, and writes what the window shows to FILE. For the demo
// on machines without a display.

#include "controlpanel/dialog_font.h"
#include "controlpanel/orvo_control_panel.h"
#include "resources/gui_resources.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: orvo-panel-screenshot FILE [SECONDS]\n");
        return 2;
    }
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    bool saved = false;
    {
        QApplication app(argc, argv);
        initGuiResources();
        useDialogFont();
        OrvoControlPanel window;
        window.show();
        QElapsedTimer waited;
        waited.start();
        auto found = [&] { return window.currentDeviceCountState() != OrvoControlPanel::Searching; };
        auto settled = [&] { return found() && !window.model()->isReading(); };
        QElapsedTimer sinceFound;
        while (!settled() && waited.elapsed() < seconds * 1000 && !(sinceFound.isValid() && sinceFound.elapsed() > 2000)) {
            if (found() && !sinceFound.isValid())
                sinceFound.start();
            QApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(10);
        }
        QApplication::processEvents();
        saved = window.grab().save(QString::fromLocal8Bit(argv[1]));
        std::printf("%s: %s\n", found() ? "mixer found" : "no mixer found", argv[1]);
    }
    orvo::model::shutdownDeviceService();
    return saved ? 0 : 1;
}
