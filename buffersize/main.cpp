#include "buffersize/orvo_buffer_size.h"
#include "controlpanel/single_instance.h"
#include "mixer/model/mixer_model.h"
#include "resources/gui_resources.h"

#include <QApplication>

int main(int argc, char** argv)
{
    int result = -1;
    {
        QApplication app(argc, argv);
        SingleInstanceGuard guard(kBufferSizeInstanceKey);
        if (!guard.acquire())
            return -1;
        initGuiResources();
        auto* window = new OrvoBufferSize(nullptr);
        window->show();
        result = app.exec();
        guard.release();
        delete window;
    }
    // The model went with the window: the device service (if any) can end.
    orvo::model::shutdownDeviceService();
    return result;
}
