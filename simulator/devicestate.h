// The simulated device's state: the PIN pad's keys and the serial number. One instance lives for
// the life of the process; every function that reads or changes it holds its mutex.
#ifndef DEVICESTATE_H
#define DEVICESTATE_H

#include "clientscreen.h"
#include "secretbuffer.h"

#include <cstddef>
#include <mutex>
#include <utility>

constexpr std::size_t kPublicKeySize = 64;  // SM2 X||Y
constexpr std::size_t kPrivateKeySize = 32; // SM2 scalar
constexpr std::size_t kKeySize = 16;        // SM4 main and work keys

// A key the device may or may not hold; its bytes are wiped when it is replaced or dropped.
class KeySlot {
public:
    bool present() const { return m_key.size() != 0; }
    const unsigned char* data() const { return m_key.data(); }
    std::size_t size() const { return m_key.size(); }

    // Takes the bytes of key, which is left empty.
    void set(clkey::SecretBuffer& key) { m_key = std::move(key); }
    void drop() { m_key = clkey::SecretBuffer(); }

private:
    clkey::SecretBuffer m_key;
};

struct DeviceState {
    std::mutex mutex;
    KeySlot privateKey;
    KeySlot mainKey;
    KeySlot workKey;
    bool hasSerial = false; // false until the first read or write
    char serial[CS_MAX_SERIAL + 1] = {};
};

inline DeviceState& deviceState()
{
    // Built on first use; its keys are wiped by their destructors when the library is unloaded.
    static DeviceState state;
    return state;
}

#endif
