#pragma once
// The buffer-size program's start, as `main` makes it: once per machine,
// beside the control panel, its windows carrying the program's icon.

#include "buffersize/orvo_buffer_size.h"
#include "controlpanel/program_main.h"

// The program's icon: the picture the control panel uses, under the name the
// program's icon resource has.
inline constexpr const char* kBufferSizeProgramIcon = ":/IDI_ICON1";

inline int runBufferSizeProgram(int argc, char** argv)
{
    return runSingleInstanceProgram<OrvoBufferSize>(argc, argv, kBufferSizeInstanceKey, kBufferSizeProgramIcon);
}
