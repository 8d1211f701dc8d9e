// The simulated device's state: the PIN pad's keys and the serial number. One instance lives for
// the life of the process; every function that reads or changes it holds its mutex.
#ifndef DEVICESTATE_H
#define DEVICESTATE_H

#include "clientscreen.h"
#include "keycrypto.h"
#include "secret.h"

#include <mutex>

struct DeviceState {
    std::mutex mutex;
    KeySlot<kPrivateKeySize> privateKey;
    KeySlot<kKeySize> mainKey;
    KeySlot<kKeySize> workKey;
    bool hasSerial = false; // false until the first read or write
    char serial[CS_MAX_SERIAL + 1] = {};
};

DeviceState& deviceState();

#endif
