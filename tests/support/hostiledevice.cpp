// A hostile device library for the device checker's tests. HOSTILE_DEVICE_MODE, read when it is
// loaded and at every call, chooses what it does to the process that loads it:
//   exit-in-constructor, hang-in-constructor  end the process, or never return, while loading
//   replace-self      while loading, delete its own file and put HOSTILE_DEVICE_REPLACEMENT
//                     where /proc/PID/maps then names it, "<its path> (deleted)"
//   exit, print, overrun-3841, overrun-5000   in GenerateKeyFromPw: exit(0), print a forged
//                     report line, or write that many bytes past the size passed
//   abort             abort() in SetPwMkey
//   never-decrypts    the curve's generator as its public key
// Otherwise (and after print) it is a fake that never decrypts anything: a fresh point as its
// public key, only the first SetPwMkey and an empty text refused, any work key accepted, and the
// PIN block encrypted under the tool's fixed test work key.
//
// In these modes it turns on the checker, or misbehaves in a way only the end of a run shows,
// and otherwise passes every call on to the library HOSTILE_DEVICE_FORWARD names (the simulator):
//   trace-checker         in its first GenerateKeyFromPw, a detached process traces the checker
//                         and turns its exit_group(1) into exit_group(0)
//   write-checker-stdout  a forged PASS line written into the checker's own standard output
//   rewrite-evidence      a detached process waits for the checker to end, then rewrites its
//                         --json file
//   stop-checker          SIGSTOP to the checker
//   limit-checker         the checker's file size limit set to 0
//   hold-at-exit          a process it starts traces it and holds it at its exit for a minute
//   traceme               makes the checker its tracer, closes its descriptors and stops itself
//   late-output           writes to standard output as it is unloaded
//   stop-at-unload        SIGSTOP to the checker as it is unloaded, after its last call
//   cut-small-buffer      answers GenerateKeyFromPw(64) with 0 and a cut text, then refuses the
//                         next key pair request with -106
//   rewrite-self          appends to its own file (the same inode) while it is loaded
#include "keydownload/testkeys.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <elf.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
bool mode(const char* name)
{
    const char* chosen = std::getenv("HOSTILE_DEVICE_MODE");
    return chosen && std::strcmp(chosen, name) == 0;
}

void splitNibble(const unsigned char* bytes, int size, char* out)
{
    for (int i = 0; i < size; ++i) {
        out[2 * i] = static_cast<char>('0' + (bytes[i] >> 4));
        out[2 * i + 1] = static_cast<char>('0' + (bytes[i] & 0x0F));
    }
    out[2 * size] = '\0';
}

// X||Y of the generator, or of a fresh multiple of it whose factor is thrown away.
bool publicKey(unsigned char* key)
{
    EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
    EC_POINT* point = group ? EC_POINT_new(group) : nullptr;
    BIGNUM* factor = BN_new();
    unsigned char encoded[65];
    bool made = point && factor
        && (mode("never-decrypts") ? BN_one(factor) : BN_rand(factor, 255, 0, 0)) == 1
        && EC_POINT_mul(group, point, factor, nullptr, nullptr, nullptr) == 1
        && EC_POINT_point2oct(group, point, POINT_CONVERSION_UNCOMPRESSED, encoded, sizeof encoded,
                              nullptr)
            == sizeof encoded;
    if (made)
        std::memcpy(key, encoded + 1, 64);
    BN_free(factor);
    EC_POINT_free(point);
    EC_GROUP_free(group);
    return made;
}

bool forwarding()
{
    for (const char* name : {"trace-checker", "write-checker-stdout", "rewrite-evidence",
                             "stop-checker", "limit-checker", "hold-at-exit", "traceme",
                             "late-output", "stop-at-unload", "cut-small-buffer", "rewrite-self"})
        if (mode(name))
            return true;
    return false;
}

// The function of the library HOSTILE_DEVICE_FORWARD names, of this one's type.
template <typename Function>
Function forwarded(Function, const char* name)
{
    static void* library = [] {
        const char* path = std::getenv("HOSTILE_DEVICE_FORWARD");
        return path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
    }();
    return library ? reinterpret_cast<Function>(dlsym(library, name)) : nullptr;
}

#define FORWARD(function, ...)                                                                     \
    do {                                                                                           \
        if (forwarding()) {                                                                        \
            const auto next = forwarded(&function, #function);                                     \
            return next ? next(__VA_ARGS__) : -1;                                                  \
        }                                                                                          \
    } while (false)

// "/proc/<pid>" and what follows. Not with std::to_string, whose table of digits is a unique
// symbol that would keep the library from ever being unloaded.
std::string procPath(pid_t pid, const char* rest = "")
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d%s", static_cast<int>(pid), rest);
    return path;
}

// Runs work in a process of its own session whose parent ends at once, so that it outlives the
// library's process; waits until work closes ready (or ends).
void detached(void (*work)(pid_t checker, int ready))
{
    const pid_t checker = getppid();
    int ready[2];
    if (pipe(ready) != 0)
        return;
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        if (fork() == 0) {
            close(ready[0]);
            work(checker, ready[1]);
        }
        _exit(0);
    }
    close(ready[1]);
    char byte;
    while (read(ready[0], &byte, 1) > 0) { }
    close(ready[0]);
    waitpid(child, nullptr, 0);
}

// At each system call the traced checker makes, exit_group(1) becomes exit_group(0).
void forgeExitStatus(pid_t checker, int ready)
{
    const bool attached = ptrace(PTRACE_SEIZE, checker, nullptr, PTRACE_O_TRACESYSGOOD) == 0
        && ptrace(PTRACE_INTERRUPT, checker, nullptr, nullptr) == 0;
    close(ready);
    int status = 0;
    while (attached && waitpid(checker, &status, __WALL) == checker && WIFSTOPPED(status)) {
        int deliver = 0;
        if (WSTOPSIG(status) == (SIGTRAP | 0x80)) {
            user_regs_struct registers;
            iovec io{&registers, sizeof registers};
            if (ptrace(PTRACE_GETREGSET, checker, NT_PRSTATUS, &io) == 0) {
#if defined(__x86_64__)
                if (registers.orig_rax == SYS_exit_group && registers.rdi == 1) {
                    registers.rdi = 0;
#elif defined(__aarch64__)
                if (registers.regs[8] == SYS_exit_group && registers.regs[0] == 1) {
                    registers.regs[0] = 0;
#else
                if (false) {
#endif
                    ptrace(PTRACE_SETREGSET, checker, NT_PRSTATUS, &io);
                }
            }
        } else if (status >> 16 == 0) {
            deliver = WSTOPSIG(status);
        }
        ptrace(PTRACE_SYSCALL, checker, nullptr, deliver);
    }
    _exit(0);
}

// Once the checker has ended, replaces its --json file, found on its command line.
void rewriteEvidence(pid_t checker, int ready)
{
    close(ready);
    const std::string proc = procPath(checker);
    std::string arguments;
    if (FILE* file = std::fopen((proc + "/cmdline").c_str(), "r")) {
        for (int c; (c = std::fgetc(file)) != EOF;)
            arguments += static_cast<char>(c);
        std::fclose(file);
    }
    std::string json;
    for (size_t at = 0; at < arguments.size(); at += std::strlen(arguments.c_str() + at) + 1)
        if (arguments.compare(at, std::string::npos, "--json") == 0)
            json = arguments.c_str() + at + 7;
    while (access(proc.c_str(), F_OK) == 0)
        usleep(10000);
    usleep(500000);
    if (FILE* file = std::fopen(json.c_str(), "w")) {
        std::fputs("{\"exitCode\": 0, \"qualified\": true}\n", file);
        std::fclose(file);
    }
    _exit(0);
}

// Traces its parent, the library's process, and holds it for a minute when it stops at its exit.
void holdAtExit(pid_t library, int ready)
{
    const bool attached = ptrace(PTRACE_SEIZE, library, nullptr, PTRACE_O_TRACEEXIT) == 0;
    close(ready);
    int status = 0;
    while (attached && waitpid(library, &status, __WALL) == library && WIFSTOPPED(status)) {
        int deliver = 0;
        if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8)))
            sleep(60);
        else if (status >> 16 == 0)
            deliver = WSTOPSIG(status);
        ptrace(PTRACE_CONT, library, nullptr, deliver);
    }
    _exit(0);
}

// The first GenerateKeyFromPw's attack, in the modes that have one.
void attack()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    const pid_t checker = getppid();
    if (mode("trace-checker"))
        detached(forgeExitStatus);
    if (mode("rewrite-evidence"))
        detached(rewriteEvidence);
    if (mode("write-checker-stdout")) {
        const int fd = open(procPath(checker, "/fd/1").c_str(), O_WRONLY);
        const char forged[] = "PASS pin-block: forged by the library\n";
        if (fd >= 0 && write(fd, forged, sizeof forged - 1) > 0)
            close(fd);
    }
    if (mode("stop-checker"))
        kill(checker, SIGSTOP);
    if (mode("limit-checker")) {
        const rlimit none{0, 0};
        prlimit(checker, RLIMIT_FSIZE, &none, nullptr);
    }
    if (mode("hold-at-exit")) {
        int ready[2];
        if (pipe(ready) == 0) {
            const pid_t library = getpid();
            if (fork() == 0) {
                close(ready[0]);
                holdAtExit(library, ready[1]);
            }
            close(ready[1]);
            char byte;
            while (read(ready[0], &byte, 1) > 0) { }
            close(ready[0]);
        }
    }
    if (mode("traceme")) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        for (int fd = 3; fd < 1024; ++fd)
            close(fd);
        raise(SIGUSR1);
    }
}

__attribute__((destructor)) void onUnload()
{
    const char text[] = "late output\n";
    if (mode("late-output") && write(1, text, sizeof text - 1) < 0)
        std::abort();
    if (mode("stop-at-unload"))
        kill(getppid(), SIGSTOP);
}

__attribute__((constructor)) void onLoad()
{
    if (mode("rewrite-self")) {
        Dl_info self;
        const char appended[] = "rewritten in place";
        if (dladdr(reinterpret_cast<void*>(&onLoad), &self) && self.dli_fname) {
            const int fd = open(self.dli_fname, O_WRONLY | O_APPEND);
            if (fd >= 0 && write(fd, appended, sizeof appended) > 0)
                close(fd);
        }
    }
    if (mode("exit-in-constructor"))
        std::exit(0);
    while (mode("hang-in-constructor"))
        pause();
    if (mode("replace-self")) {
        Dl_info self;
        const char* replacement = std::getenv("HOSTILE_DEVICE_REPLACEMENT");
        // Its own file goes, and the replacement takes the name the kernel then shows for it.
        if (replacement && dladdr(reinterpret_cast<void*>(&onLoad), &self) && self.dli_fname) {
            char shown[4096];
            std::snprintf(shown, sizeof shown, "%s (deleted)", self.dli_fname);
            std::remove(self.dli_fname);
            std::rename(replacement, shown);
        }
    }
}

int mainKeyCalls = 0;
}

extern "C" {
__attribute__((visibility("default"))) int32_t GenerateKeyFromPw(int32_t size, char* out)
{
    static bool cut = false;
    if (mode("cut-small-buffer") && (size == 64 || cut)) {
        if (cut)
            return -106;
        cut = true;
        std::memset(out, '1', 63);
        out[63] = '\0';
        return 0;
    }
    attack();
    FORWARD(GenerateKeyFromPw, size, out);
    if (mode("exit"))
        std::exit(0);
    if (mode("print"))
        std::printf("PASS keypair-format: forged by the library\n");
    if (mode("overrun-3841") || mode("overrun-5000"))
        std::memset(out + size, 'A', mode("overrun-3841") ? 3841 : 5000);
    unsigned char key[64];
    if (size < 129 || !publicKey(key))
        return -1;
    splitNibble(key, 64, out);
    return 0;
}

__attribute__((visibility("default"))) int32_t SetPwMkey(const char* text, int32_t length)
{
    FORWARD(SetPwMkey, text, length);
    if (mode("abort"))
        std::abort();
    return ++mainKeyCalls == 1 || length == 0 ? -1 : 0;
}

__attribute__((visibility("default"))) int32_t SetPwWkey(const char* text, int32_t length)
{
    FORWARD(SetPwWkey, text, length);
    return 0;
}

__attribute__((visibility("default"))) int32_t InputPassword(int32_t timeout, const char* a,
                                                             const char* b, const char* c,
                                                             int32_t maxLength, int32_t outSize,
                                                             char* out)
{
    FORWARD(InputPassword, timeout, a, b, c, maxLength, outSize, out);
    const char* pin = std::getenv("QUORVEL_SIM_PIN");
    const int length = pin ? static_cast<int>(std::strlen(pin)) : 0;
    if (outSize < 33 || length < 4 || length > 12)
        return -1;
    unsigned char block[16];
    std::memset(block, 0xFF, sizeof block);
    block[0] = static_cast<unsigned char>(length);
    for (int i = 0; i < length; ++i) {
        unsigned char& byte = block[1 + i / 2];
        const int digit = pin[i] - '0';
        byte = static_cast<unsigned char>(i % 2 == 0 ? (digit << 4) | 0x0F : (byte & 0xF0) | digit);
    }
    unsigned char cipher[32];
    int written = 0;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    const bool encrypted = context
        && EVP_EncryptInit_ex(context, EVP_sm4_ecb(), nullptr,
                              reinterpret_cast<const unsigned char*>(kTestWorkKey), nullptr)
            == 1
        && EVP_CIPHER_CTX_set_padding(context, 0) == 1
        && EVP_EncryptUpdate(context, cipher, &written, block, sizeof block) == 1;
    EVP_CIPHER_CTX_free(context);
    if (!encrypted || written != 16)
        return -1;
    splitNibble(cipher, 16, out);
    return 0;
}

__attribute__((visibility("default"))) int32_t PN_ReadDeviceSN(int32_t port, const char* parameter,
                                                               int32_t baud, char* out)
{
    FORWARD(PN_ReadDeviceSN, port, parameter, baud, out);
    std::strcpy(out, "HOSTILE1");
    return 0;
}

__attribute__((visibility("default"))) int32_t PN_WriteDeviceSN(int32_t port, const char* parameter,
                                                                int32_t baud, const char* sn)
{
    FORWARD(PN_WriteDeviceSN, port, parameter, baud, sn);
    return -1;
}

__attribute__((visibility("default"))) int32_t MP_StartInfoHtml()
{
    return -1;
}
__attribute__((visibility("default"))) int32_t MP_SignPDF()
{
    return -1;
}
__attribute__((visibility("default"))) int32_t MP_SHOW_PDF()
{
    return -1;
}
__attribute__((visibility("default"))) int32_t MP_ConfirmPDF()
{
    return -1;
}
__attribute__((visibility("default"))) int32_t MP_SignPDF_Voice()
{
    return -1;
}
}
