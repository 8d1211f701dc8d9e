// The PIN the simulated user types, and the PIN block built from it.
#ifndef PINBLOCK_H
#define PINBLOCK_H

#include "keycrypto.h"
#include "secret.h"

// Builds the 16-byte PIN block of the PIN in QUORVEL_SIM_PIN (123456 when unset or empty):
// 0x0N with N the number of digits, the digits as BCD, F nibbles to the end.
// CS_OK, CS_ERR_PIN_INVALID (not 4 to 12 digits) or CS_ERR_PIN_TOO_LONG (more than maxLen
// digits); block is written only on success.
int buildPinBlock(int maxLen, Secret<kKeySize>& block);

#endif
