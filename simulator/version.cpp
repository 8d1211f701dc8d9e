// The simulator's mark, by which the tool tells it apart from a real device library.
#include "clientscreen.h"

const char* QV_SimulatorVersion(void)
{
    return "quorvel-simulator " SIMULATOR_VERSION;
}
