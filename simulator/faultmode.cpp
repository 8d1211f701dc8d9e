#include "faultmode.h"

#include <cstdlib>
#include <cstring>

namespace {
const char kOverrunBytes[] = "OVERRUN!";
}

FaultMode faultMode()
{
    const char* mode = std::getenv("QUORVEL_SIM_FAULT");
    if (!mode)
        return FaultMode::None;
    if (std::strcmp(mode, "overrun") == 0)
        return FaultMode::Overrun;
    if (std::strcmp(mode, "ignore-size") == 0)
        return FaultMode::IgnoreSize;
    if (std::strcmp(mode, "accept-tampered") == 0)
        return FaultMode::AcceptTampered;
    if (std::strcmp(mode, "wrong-pin-block") == 0)
        return FaultMode::WrongPinBlock;
    if (std::strcmp(mode, "hang") == 0)
        return FaultMode::Hang;
    return FaultMode::None;
}

void overrunPast(char* out, int size)
{
    if (faultMode() == FaultMode::Overrun && size >= 0)
        std::memcpy(out + size, kOverrunBytes, sizeof kOverrunBytes - 1);
}
