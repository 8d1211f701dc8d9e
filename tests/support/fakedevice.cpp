// Scripted device library for the panel tests. Built twice: complete, and without SetPwWkey.
#include "fakedevice.h"

#include <cstring>
#include <vector>

namespace {
FakeDeviceScript script = {0, 0, {}, nullptr, nullptr};
std::vector<FakeDeviceCall> calls;

FakeDeviceCall& record(const char* name)
{
    calls.emplace_back();
    FakeDeviceCall& call = calls.back();
    std::memset(&call, 0, sizeof call);
    std::strncpy(call.name, name, sizeof call.name - 1);
    return call;
}

void addInt(FakeDeviceCall& call, int value)
{
    if (call.intCount < 8)
        call.ints[call.intCount++] = value;
}

void addText(FakeDeviceCall& call, const char* text)
{
    if (call.textCount < 4 && text)
        std::strncpy(call.texts[call.textCount], text, sizeof call.texts[0] - 1);
    if (call.textCount < 4)
        ++call.textCount;
}

int answer(char* out)
{
    if (script.duringCall)
        script.duringCall(script.context);
    if (out && script.outputLength > 0)
        std::memcpy(out, script.output, static_cast<size_t>(script.outputLength));
    return script.code;
}
}

extern "C" {
FakeDeviceScript* fake_script()
{
    return &script;
}
const FakeDeviceCall* fake_call(int index)
{
    return index >= 0 && index < static_cast<int>(calls.size()) ? &calls[index] : nullptr;
}
int fake_callCount()
{
    return static_cast<int>(calls.size());
}
void fake_reset()
{
    calls.clear();
    std::memset(&script, 0, sizeof script);
}

int GenerateKeyFromPw(int size, char* out)
{
    FakeDeviceCall& call = record("GenerateKeyFromPw");
    addInt(call, size);
    return answer(out);
}

int SetPwMkey(const char* text, int length)
{
    FakeDeviceCall& call = record("SetPwMkey");
    addText(call, text);
    addInt(call, length);
    return answer(nullptr);
}

#ifndef FAKE_WITHOUT_SETPWWKEY
int SetPwWkey(const char* text, int length)
{
    FakeDeviceCall& call = record("SetPwWkey");
    addText(call, text);
    addInt(call, length);
    return answer(nullptr);
}
#endif

int InputPassword(int timeout, const char* a, const char* b, const char* c, int maxLength,
                  int outSize, char* out)
{
    FakeDeviceCall& call = record("InputPassword");
    addInt(call, timeout);
    addText(call, a);
    addText(call, b);
    addText(call, c);
    addInt(call, maxLength);
    addInt(call, outSize);
    return answer(out);
}

int PN_ReadDeviceSN(int port, const char* param, int baud, char* out)
{
    FakeDeviceCall& call = record("PN_ReadDeviceSN");
    addInt(call, port);
    addText(call, param);
    addInt(call, baud);
    return answer(out);
}

int PN_WriteDeviceSN(int port, const char* param, int baud, const char* serialNumber)
{
    FakeDeviceCall& call = record("PN_WriteDeviceSN");
    addInt(call, port);
    addText(call, param);
    addInt(call, baud);
    addText(call, serialNumber);
    return answer(nullptr);
}

int MP_SHOW_PDF(int port, const char* param, int baud, int timeout, const char* path)
{
    FakeDeviceCall& call = record("MP_SHOW_PDF");
    addInt(call, port);
    addText(call, param);
    addInt(call, baud);
    addInt(call, timeout);
    addText(call, path);
    return answer(nullptr);
}

int MP_ConfirmPDF(int port, const char* param, int baud, int timeout, const char* path, char* out)
{
    FakeDeviceCall& call = record("MP_ConfirmPDF");
    addInt(call, port);
    addText(call, param);
    addInt(call, baud);
    addInt(call, timeout);
    addText(call, path);
    return answer(out);
}

// Bound by the panels but never called by them; a call is recorded so a test can see it.
int MP_StartInfoHtml()
{
    record("MP_StartInfoHtml");
    return script.code;
}
int MP_SignPDF()
{
    record("MP_SignPDF");
    return script.code;
}
int MP_SignPDF_Voice()
{
    record("MP_SignPDF_Voice");
    return script.code;
}
}
