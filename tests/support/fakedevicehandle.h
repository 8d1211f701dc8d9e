// The scripted device library as a test reaches it: loaded through QLibrary, scripted and read
// through its control functions.
#ifndef FAKEDEVICEHANDLE_H
#define FAKEDEVICEHANDLE_H

#include "fakedevice.h"

#include <QByteArray>
#include <QLibrary>

class FakeDeviceHandle {
public:
    explicit FakeDeviceHandle(const char* path);

    // The next calls return code and write output (exactly these bytes, no NUL added).
    void answer(int code, const QByteArray& output);
    // The next calls run callback(context) before they answer; a null callback stops that.
    void duringCall(void (*callback)(void*), void* context);
    void reset() { reset_(); }
    int callCount() { return callCount_(); }
    const FakeDeviceCall* call(int index) { return call_(index); }
    QLibrary& library() { return library_; }

private:
    QLibrary library_;
    FakeScriptFunc script_;
    FakeCallFunc call_;
    FakeCallCountFunc callCount_;
    FakeResetFunc reset_;
};

#endif
