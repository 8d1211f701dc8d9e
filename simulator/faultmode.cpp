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
    static const struct {
        const char* name;
        FaultMode mode;
    } kModes[] = {{"overrun", FaultMode::Overrun},
                  {"ignore-size", FaultMode::IgnoreSize},
                  {"accept-tampered", FaultMode::AcceptTampered},
                  {"wrong-pin-block", FaultMode::WrongPinBlock},
                  {"hang", FaultMode::Hang},
                  {"leak", FaultMode::Leak},
                  {"leak-fd", FaultMode::LeakDescriptor},
                  {"flaky", FaultMode::Flaky}};
    const char* chosen = std::getenv("QUORVEL_SIM_FAULT");
    for (const auto& mode : kModes)
        if (chosen && std::strcmp(chosen, mode.name) == 0)
            return mode.mode;
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
