// Device libraries that misbehave as they load, for the window's start-up line; one form a build.
// HOSTILE_UNDEFINED_SYMBOL: GenerateKeyFromPw calls nosuch(), which nothing defines, so the
// library loads only while binding is lazy, and the first call ends the process.
// HOSTILE_RENAME_OVER_ITSELF: a scripted device (built with fakedevice.cpp) that marks itself as
// the simulator and, from its constructor, moves the sibling "replacement.so" over its own path,
// after linking it at that path followed by " (deleted)", the name the kernel then gives the
// mapped file.
#include <cstdio>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

#if defined(HOSTILE_UNDEFINED_SYMBOL)
extern "C" int nosuch(void);

extern "C" int GenerateKeyFromPw(int, char*)
{
    return nosuch();
}
#endif

#if defined(HOSTILE_RENAME_OVER_ITSELF)
extern "C" const char* QV_SimulatorVersion()
{
    return "hostile";
}

namespace {
__attribute__((constructor)) void replaceOwnFile()
{
    Dl_info info;
    if (!dladdr(reinterpret_cast<void*>(&replaceOwnFile), &info) || !info.dli_fname)
        return;
    const std::string self = info.dli_fname;
    const std::string replacement = self.substr(0, self.rfind('/') + 1) + "replacement.so";
    if (link(replacement.c_str(), (self + " (deleted)").c_str()) != 0)
        std::perror("link");
    if (std::rename(replacement.c_str(), self.c_str()) != 0)
        std::perror("rename");
}
}
#endif
