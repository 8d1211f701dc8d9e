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
    void reset() { m_reset(); }
    int callCount() { return m_callCount(); }
    const FakeDeviceCall* call(int index) { return m_call(index); }
    QLibrary& library() { return m_library; }

private:
    QLibrary m_library;
    FakeScriptFunc m_script;
    FakeCallFunc m_call;
    FakeCallCountFunc m_callCount;
    FakeResetFunc m_reset;
};

#endif
