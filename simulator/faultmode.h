// Deliberate misbehaviour, chosen by QUORVEL_SIM_FAULT, so that a checker of device libraries can
// be shown to catch each fault. Off unless the variable names a mode.
#ifndef FAULTMODE_H
#define FAULTMODE_H

enum class FaultMode {
    None,
    Overrun,        // "overrun": write past the size passed
    IgnoreSize,     // "ignore-size": write the full text whatever size is passed
    AcceptTampered, // "accept-tampered": accept any main-key text
    WrongPinBlock,  // "wrong-pin-block": encrypt the block of a different PIN
    Hang            // "hang": InputPassword returns only after its timeout's seconds
};

// The mode QUORVEL_SIM_FAULT names now; read on every call, like QUORVEL_SIM_PIN. An unset,
// empty or unknown value is FaultMode::None.
FaultMode faultMode();

// In FaultMode::Overrun, writes a few bytes just past the size bytes of out; otherwise nothing.
void overrunPast(char* out, int size);

#endif
