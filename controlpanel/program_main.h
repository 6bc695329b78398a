#pragma once
// The start of both GUI programs: one copy at a time, the window, the event
// loop, then the device service's end once every model is gone.

#include "controlpanel/dialog_font.h"
#include "controlpanel/single_instance.h"
#include "mixer/model/mixer_model.h"
#include "resources/gui_resources.h"

#include <QApplication>
#include <QIcon>

// windowIcon: the program's icon, every window's unless it names its own
// (null: the windows name theirs).
template <class Window>
int runSingleInstanceProgram(int argc, char** argv, const char* instanceKey, const char* windowIcon = nullptr)
{
    int result = -1;
    {
        QApplication app(argc, argv);
        SingleInstanceGuard guard(QString::fromLatin1(instanceKey));
        if (!guard.acquire())
            return -1;
        initGuiResources();
        useDialogFont();
        if (windowIcon != nullptr)
            QApplication::setWindowIcon(QIcon(QString::fromLatin1(windowIcon)));
        auto* window = new Window(nullptr);
        window->show();
        result = app.exec();
        guard.release();
        delete window;
    }
    // The models went with the window: the device service (if any) can end.
    orvo::model::shutdownDeviceService();
    return result;
}
