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
    Hang,           // "hang": InputPassword returns only after its timeout's seconds
    Leak,           // "leak": keep 4 KiB of memory for good at every SetPwWkey
    LeakDescriptor, // "leak-fd": open a descriptor for good at every GenerateKeyFromPw
    Flaky           // "flaky": refuse one SetPwMkey in 50 as if it did not decrypt
};

// The mode QUORVEL_SIM_FAULT names now; read on every call, like QUORVEL_SIM_PIN. An unset,
// empty or unknown value is FaultMode::None.
FaultMode faultMode();

// In FaultMode::Overrun, writes a few bytes just past the size bytes of out; otherwise nothing.
void overrunPast(char* out, int size);

// The faults that show only over many calls, for a soak run to find; each does nothing in the
// other modes. In FaultMode::Leak, keeps 4 KiB, written so that they count in the resident size.
void leakMemory();
// In FaultMode::LeakDescriptor, opens /dev/null and never closes it.
void leakDescriptor();
// In FaultMode::Flaky, true for every 50th call counted here.
bool flakyFailure();

#endif
