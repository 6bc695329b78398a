// orvo-panel-screenshot FILE [SECONDS] [--update]: builds the control panel's
// main window, waits (at most SECONDS, default 10) until it has found a mixer
// and read its settings, and writes what the window shows to FILE. For the
// demo on machines without a display.
//
// With --update, FILE shows the update offered; the update button is then
// pressed, the window is written to FILE-updating.png (.png replaced) while
// the progress frame shows, and to FILE-updated.png once the mixer is back
// with its new version and read again.

#include "controlpanel/dialog_font.h"
#include "controlpanel/orvo_control_panel.h"
#include "resources/gui_resources.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <functional>

namespace {

// Serves the window's events until `done` or the time is up.
bool serveUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    QApplication::processEvents();
    return done();
}

QString siblingPath(const QString& file, const char* suffix) {
    QString base = file;
    if (base.endsWith(".png"))
        base.chop(4);
    return base + suffix + ".png";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: orvo-panel-screenshot FILE [SECONDS] [--update]\n");
        return 2;
    }
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    const bool update = argc > 3 && std::strcmp(argv[3], "--update") == 0;
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
        auto settled = [&] { return found() && !window.model()->isReading() && !window.isBusy(); };
        QElapsedTimer sinceFound;
        while (!settled() && waited.elapsed() < seconds * 1000 && !(sinceFound.isValid() && sinceFound.elapsed() > 2000)) {
            if (found() && !sinceFound.isValid())
                sinceFound.start();
            QApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(10);
        }
        QApplication::processEvents();
        const QString file = QString::fromLocal8Bit(argv[1]);
        saved = window.grab().save(file);
        std::printf("%s: %s\n", found() ? "mixer found" : "no mixer found", argv[1]);

        auto* button = window.findChild<QPushButton*>("pushButtonUpdateFirmware");
        auto* version = window.findChild<QLabel*>("labelFWDeviceVersion");
        if (update && saved) {
            if (!button->isVisible()) {
                std::printf("no update offered\n");
                saved = false;
            } else {
                std::printf("offered: %s (firmware %s)\n", qPrintable(button->text()), qPrintable(version->text()));
                const QString offered = button->text().section(' ', -1);
                // One picture while the progress frame shows, past the start.
                bool shot = false;
                int lastProgress = 0;
                QObject::connect(window.model(), &MixerModel::firmwareProgress, &window, [&](int percent) {
                    lastProgress = percent;
                    if (shot || percent < 40)
                        return;
                    shot = true;
                    const QString path = siblingPath(file, "-updating");
                    window.grab().save(path);
                    std::printf("updating: %d %% shown: %s\n", percent, qPrintable(path));
                }, Qt::DirectConnection);
                button->click();  // returns when the update has ended
                std::printf("update ended at %d %%\n", lastProgress);
                const bool back = serveUntil(
                    [&] { return settled() && version->isVisible() && version->text() == offered && !button->isVisible(); },
                    seconds * 1000);
                const QString path = siblingPath(file, "-updated");
                saved = shot && window.grab().save(path) && back;
                std::printf("%s: firmware %s shown: %s\n", back ? "updated" : "not updated", qPrintable(version->text()),
                            qPrintable(path));
            }
        }
    }
    orvo::model::shutdownDeviceService();
    return saved ? 0 : 1;
}
