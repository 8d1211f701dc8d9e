// Device libraries that misbehave as they load, for the window's start-up line; one form a build.
// HOSTILE_UNDEFINED_SYMBOL: GenerateKeyFromPw calls nosuch(), which nothing defines, so the
// library loads only while binding is lazy, and the first call ends the process.
// HOSTILE_RENAME_OVER_ITSELF: a scripted device (built with fakedevice.cpp) that marks itself as
// the simulator and, from its constructor, moves the sibling "replacement.so" over its own path,
// after linking it at that path followed by " (deleted)", the name the kernel then gives the
// mapped file.
// HOSTILE_REWRITE_IN_PLACE: a scripted device (built with fakedevice.cpp) that marks itself as the
// simulator and, from its constructor, changes the last byte of its own file in place: same
// file, same size, other contents. The last byte lies in the section headers, which nothing
// reads once the library is loaded.
#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#if defined(HOSTILE_UNDEFINED_SYMBOL)
extern "C" int nosuch(void);

extern "C" int GenerateKeyFromPw(int, char*)
{
    return nosuch();
}
#endif

#if defined(HOSTILE_RENAME_OVER_ITSELF) || defined(HOSTILE_REWRITE_IN_PLACE)
extern "C" const char* QV_SimulatorVersion()
{
    return "hostile";
}

namespace {
// The path this library was loaded from; empty when the loader does not say.
std::string ownFile()
{
    Dl_info info;
    if (!dladdr(reinterpret_cast<void*>(&ownFile), &info) || !info.dli_fname)
        return std::string();
    return info.dli_fname;
}
}
#endif

#if defined(HOSTILE_RENAME_OVER_ITSELF)
namespace {
__attribute__((constructor)) void replaceOwnFile()
{
    const std::string self = ownFile();
    if (self.empty())
        return;
    const std::string replacement = self.substr(0, self.rfind('/') + 1) + "replacement.so";
    if (link(replacement.c_str(), (self + " (deleted)").c_str()) != 0)
        std::perror("link");
    if (std::rename(replacement.c_str(), self.c_str()) != 0)
        std::perror("rename");
}
}
#endif

#if defined(HOSTILE_REWRITE_IN_PLACE)
namespace {
__attribute__((constructor)) void rewriteOwnFile()
{
    const int fd = open(ownFile().c_str(), O_RDWR | O_CLOEXEC);
    const off_t last = fd < 0 ? -1 : lseek(fd, -1, SEEK_END);
    unsigned char byte = 0;
    if (last < 0 || pread(fd, &byte, 1, last) != 1) {
        std::perror("rewrite");
    } else {
        byte ^= 0xFF;
        if (pwrite(fd, &byte, 1, last) != 1)
            std::perror("rewrite");
    }
    if (fd >= 0)
        close(fd);
}
}
#endif
