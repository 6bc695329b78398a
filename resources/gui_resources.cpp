#include "resources/gui_resources.h"

#include <QtGlobal>

void initGuiResources() {
    Q_INIT_RESOURCE(orvo_gui);
}
