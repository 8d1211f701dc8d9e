#include "faultmode.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>

namespace {
const char kOverrunBytes[] = "OVERRUN!";
constexpr std::size_t kLeakedBytes = 4096;
constexpr unsigned kFlakyPeriod = 50;

// The blocks leakMemory keeps, each holding the one before: still reachable, so that a leak
// checker in a test that loads the simulator has nothing to report.
std::atomic<void*> leaked{nullptr};
std::atomic<unsigned> flakyCalls{0};
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
    if (std::strcmp(mode, "leak") == 0)
        return FaultMode::Leak;
    if (std::strcmp(mode, "leak-fd") == 0)
        return FaultMode::LeakDescriptor;
    if (std::strcmp(mode, "flaky") == 0)
        return FaultMode::Flaky;
    return FaultMode::None;
}

void overrunPast(char* out, int size)
{
    if (faultMode() == FaultMode::Overrun && size >= 0)
        std::memcpy(out + size, kOverrunBytes, sizeof kOverrunBytes - 1);
}

void leakMemory()
{
    if (faultMode() != FaultMode::Leak)
        return;
    auto* block = static_cast<void**>(std::malloc(kLeakedBytes));
    if (!block)
        return;
    std::memset(block, 0x5A, kLeakedBytes);
    *block = leaked.exchange(block);
}

void leakDescriptor()
{
    if (faultMode() == FaultMode::LeakDescriptor)
        open("/dev/null", O_RDONLY | O_CLOEXEC);
}

bool flakyFailure()
{
    return faultMode() == FaultMode::Flaky && ++flakyCalls % kFlakyPeriod == 0;
}
