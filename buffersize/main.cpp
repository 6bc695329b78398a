#include "buffersize/orvo_buffer_size.h"
#include "controlpanel/program_main.h"

int main(int argc, char** argv)
{
    return runSingleInstanceProgram<OrvoBufferSize>(argc, argv, kBufferSizeInstanceKey);
}
