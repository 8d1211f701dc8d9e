#include "fakedevicehandle.h"

#include <cstring>

FakeDeviceHandle::FakeDeviceHandle(const char* path)
    : library_(QString::fromUtf8(path))
{
    if (!library_.load())
        qFatal("cannot load %s: %s", path, qPrintable(library_.errorString()));
    script_ = reinterpret_cast<FakeScriptFunc>(library_.resolve("fake_script"));
    call_ = reinterpret_cast<FakeCallFunc>(library_.resolve("fake_call"));
    callCount_ = reinterpret_cast<FakeCallCountFunc>(library_.resolve("fake_callCount"));
    reset_ = reinterpret_cast<FakeResetFunc>(library_.resolve("fake_reset"));
}

void FakeDeviceHandle::answer(int code, const QByteArray& output)
{
    FakeDeviceScript* script = script_();
    script->code = code;
    const int length = qMin(output.size(), static_cast<int>(sizeof script->output));
    script->outputLength = length;
    std::memcpy(script->output, output.constData(), static_cast<size_t>(length));
}

void FakeDeviceHandle::duringCall(void (*callback)(void*), void* context)
{
    FakeDeviceScript* script = script_();
    script->duringCall = callback;
    script->context = context;
}
