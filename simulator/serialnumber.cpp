// The device serial number: read and write. It starts as QUORVEL_SIM_SN or a fixed default.
#include "clientscreen.h"
#include "devicestate.h"
#include "faultmode.h"

#include <cstdlib>
#include <cstring>

namespace {
const char kDefaultSerial[] = "QV000001";
// The size of the caller's buffer, which PN_ReadDeviceSN is not told.
constexpr int kReadBufferSize = 256;

// Checks a serial number, reading at most CS_MAX_SERIAL + 1 bytes of it; on CS_OK, length is
// its number of characters.
int checkSerial(const char* sn, std::size_t& length)
{
    if (!sn)
        return CS_ERR_NULL_INPUT;
    length = 0;
    while (length <= CS_MAX_SERIAL && sn[length] != '\0')
        ++length;
    if (length == 0)
        return CS_ERR_SN_EMPTY;
    if (length > CS_MAX_SERIAL)
        return CS_ERR_SN_TOO_LONG;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(sn[i]);
        if (c >= 0x80)
            return CS_ERR_SN_NON_ASCII;
        if (c < 0x20 || c == 0x7F)
            return CS_ERR_SN_CONTROL;
    }
    return CS_OK;
}

void storeSerial(DeviceState& state, const char* sn, std::size_t length)
{
    std::memcpy(state.serial, sn, length);
    state.serial[length] = '\0';
    state.hasSerial = true;
}

// Called with the state locked.
void ensureSerial(DeviceState& state)
{
    if (state.hasSerial)
        return;
    const char* sn = std::getenv("QUORVEL_SIM_SN");
    std::size_t length = 0;
    if (checkSerial(sn, length) != CS_OK) {
        sn = kDefaultSerial;
        length = sizeof kDefaultSerial - 1;
    }
    storeSerial(state, sn, length);
}
}

int PN_ReadDeviceSN(int, const char*, int, char* out)
{
    if (!out)
        return CS_ERR_NULL_OUTPUT;
    DeviceState& state = deviceState();
    std::lock_guard<std::mutex> lock(state.mutex);
    ensureSerial(state);
    std::memcpy(out, state.serial, std::strlen(state.serial) + 1);
    overrunPast(out, kReadBufferSize);
    return CS_OK;
}

int PN_WriteDeviceSN(int, const char*, int, const char* sn)
{
    std::size_t length = 0;
    const int checked = checkSerial(sn, length);
    if (checked != CS_OK)
        return checked;
    DeviceState& state = deviceState();
    std::lock_guard<std::mutex> lock(state.mutex);
    storeSerial(state, sn, length);
    return CS_OK;
}
