#include "fakedevicehandle.h"

#include <cstring>

FakeDeviceHandle::FakeDeviceHandle(const char* path)
    : m_library(QString::fromUtf8(path))
{
    if (!m_library.load())
        qFatal("cannot load %s: %s", path, qPrintable(m_library.errorString()));
    m_script = reinterpret_cast<FakeScriptFunc>(m_library.resolve("fake_script"));
    m_call = reinterpret_cast<FakeCallFunc>(m_library.resolve("fake_call"));
    m_callCount = reinterpret_cast<FakeCallCountFunc>(m_library.resolve("fake_callCount"));
    m_reset = reinterpret_cast<FakeResetFunc>(m_library.resolve("fake_reset"));
}

void FakeDeviceHandle::answer(int code, const QByteArray& output)
{
    FakeDeviceScript* script = m_script();
    script->code = code;
    const int length = qMin(output.size(), static_cast<int>(sizeof script->output));
    script->outputLength = length;
    std::memcpy(script->output, output.constData(), static_cast<size_t>(length));
}

void FakeDeviceHandle::duringCall(void (*callback)(void*), void* context)
{
    FakeDeviceScript* script = m_script();
    script->duringCall = callback;
    script->context = context;
}
