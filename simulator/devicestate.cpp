#include "devicestate.h"

DeviceState& deviceState()
{
    // Built on first use; its keys are wiped by their destructors when the library is unloaded.
    static DeviceState state;
    return state;
}
