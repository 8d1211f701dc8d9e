#include "pinblock.h"

#include "faultmode.h"

#include <cstdlib>
#include <cstring>

namespace {
const char kDefaultPin[] = "123456";
constexpr std::size_t kMinPinLength = 4;
constexpr std::size_t kMaxPinLength = 12;
}

int buildPinBlock(int maxLen, Secret<kKeySize>& block)
{
    const char* pin = std::getenv("QUORVEL_SIM_PIN");
    if (!pin || pin[0] == '\0')
        pin = kDefaultPin;

    // One character past the longest PIN is enough to reject a longer one.
    std::size_t length = 0;
    while (length <= kMaxPinLength && pin[length] != '\0') {
        if (pin[length] < '0' || pin[length] > '9')
            return CS_ERR_PIN_INVALID;
        ++length;
    }
    if (length < kMinPinLength || length > kMaxPinLength)
        return CS_ERR_PIN_INVALID;
    if (length > static_cast<std::size_t>(maxLen))
        return CS_ERR_PIN_TOO_LONG;

    // The fault puts a PIN of the same length with another last digit in the block.
    const bool wrongPin = faultMode() == FaultMode::WrongPinBlock;
    std::memset(block.data(), 0xFF, kKeySize);
    block[0] = static_cast<unsigned char>(length);
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char digit = static_cast<unsigned char>(pin[i] - '0');
        if (wrongPin && i == length - 1)
            digit = static_cast<unsigned char>((digit + 1) % 10);
        unsigned char& byte = block[1 + i / 2];
        byte = i % 2 == 0 ? static_cast<unsigned char>((digit << 4) | 0x0F)
                          : static_cast<unsigned char>((byte & 0xF0) | digit);
    }
    return CS_OK;
}
