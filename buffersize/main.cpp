#include "buffersize/program.h"

int main(int argc, char** argv) { return runBufferSizeProgram(argc, argv); }
