#include "controlpanel/orvo_control_panel.h"
#include "controlpanel/program_main.h"

int main(int argc, char** argv)
{
    return runSingleInstanceProgram<OrvoControlPanel>(argc, argv, kControlPanelInstanceKey);
}
