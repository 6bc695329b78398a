#include "controlpanel/orvo_control_panel.h"
#include "controlpanel/single_instance.h"
#include "resources/gui_resources.h"

#include <QApplication>

int main(int argc, char** argv) {
    int result = -1;
    {
        QApplication app(argc, argv);
        SingleInstanceGuard guard(kControlPanelInstanceKey);
        if (!guard.acquire())
            return -1;
        initGuiResources();
        auto* window = new OrvoControlPanel(nullptr);
        window->show();
        result = app.exec();
        guard.release();
        delete window;
    }
    // Every model is gone with the window: the device service can end.
    orvo::model::shutdownDeviceService();
    return result;
}
