// Scripted test double of the device library: every device function records its arguments and
// answers with the scripted code and output bytes. Tests reach the control functions through
// QLibrary::resolve, like the panels reach the device functions.
#ifndef FAKEDEVICE_H
#define FAKEDEVICE_H

struct FakeDeviceScript {
    int code;         // returned by every device function
    int outputLength; // bytes copied into the call's out buffer, exactly as given (no NUL added)
    char output[1024];
    void (*duringCall)(void* context); // when set, run inside every scripted device call
    void* context;
};

struct FakeDeviceCall {
    char name[32]; // device function name
    int ints[8];   // integer arguments, in order
    int intCount;
    char texts[4][1100]; // text arguments, in order, copied up to their NUL (at most 1099 bytes)
    int textCount;
};

extern "C" {
typedef FakeDeviceScript* (*FakeScriptFunc)();
typedef const FakeDeviceCall* (*FakeCallFunc)(int index);
typedef int (*FakeCallCountFunc)();
typedef void (*FakeResetFunc)();

FakeDeviceScript* fake_script();
// The index-th call since the last reset, or null.
const FakeDeviceCall* fake_call(int index);
int fake_callCount();
void fake_reset();
}

#endif
