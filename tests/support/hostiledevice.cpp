// A hostile device library for the device checker's tests. The file "hostile-mode" beside it, read
// when it is loaded, chooses what it does: its first line names the mode, and each further line
// NAME=value is set in its environment before it loads "forward.so" beside it (the simulator), to
// which it passes every call in the modes that turn on the checker (below).
//
// Modes that end or fake:
//   exit-in-constructor, hang-in-constructor  end the process, or never return, while loading
//   replace-self      while loading, delete its own file and put "replacement.so" beside it where
//                     /proc/PID/maps then names it, "<its path> (deleted)"
//   exit, print, overrun-3841, overrun-5000   in GenerateKeyFromPw: exit(0), print a forged
//                     report line, or write that many bytes past the size passed
//   abort             abort() in SetPwMkey
//   never-decrypts    the curve's generator as its public key
// Otherwise (and after print) it is a fake that never decrypts anything: a fresh point as its
// public key, only the first SetPwMkey and an empty text refused, any work key accepted, and the
// PIN block encrypted under the tool's fixed test work key.
//
// Modes that turn on the checker, its user's world or the evidence, in the first GenerateKeyFromPw
// unless said otherwise, and pass every call on to forward.so. "The checker" is the process that
// started this one, "the shell" the checker's parent, "the reader" the process that reads the
// checker's standard output through a pipe:
//   trace-checker         a detached process traces the checker to turn its exit_group(1) into 0
//   write-checker-stdout  a forged PASS line written into the checker's own standard output
//   rewrite-evidence      a detached process waits for the checker to end, then rewrites its
//                         --json file
//   stop-checker          SIGSTOP to the checker
//   limit-checker         the checker's file size limit set to 0
//   hold-at-exit          a process it starts traces it and holds it at its exit for a minute
//   traceme               makes the checker its tracer, closes its descriptors and stops itself
//   late-output           writes to standard output as it is unloaded
//   load-late             loads forward.so at its first call rather than as it loads
//   stop-at-unload        SIGSTOP to the checker as it is unloaded, after its last call
//   cut-small-buffer      answers GenerateKeyFromPw(64) with 0 and a cut text, then refuses the
//                         next key pair request with -106
//   rewrite-self          appends to its own file (the same inode) while it is loaded
//   write-shell-memory    opens /proc/<shell>/mem for writing
//   signal-by-descriptor  makes the checker a socket's owner (FIOSETOWN), its signal SIGKILL
//                         (F_SETSIG) and writes to the socket
//   flood-refusals        a process it starts writes forged refusal records without end
//   outlive-in-chain      a chain of processes, each in a session of its own and the parent of
//                         the next, that keeps growing, and whose tip rewrites the --json file
//                         once the checker has ended
//   forge-ci-pipe         forged PASS and summary lines written into the shell's standard output
//   forge-terminal        the same written to the terminal the shell or the checker has
//   stop-terminal         that terminal's output stopped (tcflow TCOOFF)
//   stop-reader           the reader stopped, and the pipe it reads filled
//   kill-reader           the reader killed
//   rewrite-shared        its own file rewritten in place through a shared mapping, the size
//                         kept: what a file system that keeps no times for such writes hides
//   hide-and-leak         not dumpable from loading on, and a descriptor opened at every key pair
//   chmod-evidence        the temporary evidence files beside the --json file made unreadable
//   nul-output            writes text that starts with a NUL byte as it is unloaded
//   print-environment     writes the names of the environment variables it was given, in order,
//                         as it is unloaded
//   print-capabilities    writes its permitted and effective capabilities as it is unloaded
//   print-descriptors     writes the numbers of its open descriptors as it is unloaded
//   forge-load-answer     sends the checker an answer that it loaded, from its constructor; built
//                         with HOSTILE_PARTIAL_EXPORTS, it exports only six of the functions
// Whatever it reached that it should not have is written to its standard output as it is
// unloaded, "reached <what>", so that the evidence shows it.
#include "keydownload/testkeys.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <elf.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
// The folder this library was loaded from, with a trailing slash.
std::string ownFolder()
{
    Dl_info self;
    if (!dladdr(reinterpret_cast<void*>(&ownFolder), &self) || !self.dli_fname)
        return std::string();
    const std::string path = self.dli_fname;
    return path.substr(0, path.rfind('/') + 1);
}

std::string ownPath()
{
    Dl_info self;
    return dladdr(reinterpret_cast<void*>(&ownPath), &self) && self.dli_fname ? self.dli_fname
                                                                              : std::string();
}

// Texts kept for the end, as plain arrays: nothing that a constructor could run after this
// library's own constructor, or a destructor before its own destructor.
void append(char* text, size_t size, const std::string& more)
{
    std::strncat(text, more.c_str(), size - std::strlen(text) - 1);
}

// The names of the variables of the environment this library was given, before the mode file's.
char givenEnvironment[1024];

// The mode file's first line, read once; its other lines go into the environment.
char chosenMode[64];

const char* modeChosen()
{
    static bool read = false;
    if (read)
        return chosenMode;
    read = true;
    // In order of name: an emulator may hand the environment over in another order.
    std::vector<std::string> names;
    for (char** entry = environ; *entry; ++entry)
        names.emplace_back(*entry, std::strcspn(*entry, "="));
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        append(givenEnvironment, sizeof givenEnvironment, " " + name);
    FILE* file = std::fopen((ownFolder() + "hostile-mode").c_str(), "r");
    char line[512];
    for (bool first = true; file && std::fgets(line, sizeof line, file); first = false) {
        line[std::strcspn(line, "\n")] = '\0';
        char* equals = std::strchr(line, '=');
        if (first) {
            append(chosenMode, sizeof chosenMode, line);
        } else if (equals) {
            *equals = '\0';
            setenv(line, equals + 1, 1);
        }
    }
    if (file)
        std::fclose(file);
    return chosenMode;
}

bool mode(const char* name)
{
    return std::strcmp(modeChosen(), name) == 0;
}

// What this library reached that it should not have, written out as it is unloaded.
char reached[1024];

void reach(const std::string& what)
{
    append(reached, sizeof reached, "reached " + what + "\n");
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

// The modes that fake the device themselves rather than pass the calls on.
bool forwarding()
{
    for (const char* name :
         {"", "exit-in-constructor", "hang-in-constructor", "replace-self", "exit", "print",
          "overrun-3841", "overrun-5000", "abort", "never-decrypts"})
        if (mode(name))
            return false;
    return true;
}

// forward.so beside this library, loaded at the first call.
void* forwardLibrary()
{
    static void* library = dlopen((ownFolder() + "forward.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    return library;
}

// The function of forward.so, of this one's type.
template <typename Function>
Function forwarded(Function, const char* name)
{
    return forwardLibrary() ? reinterpret_cast<Function>(dlsym(forwardLibrary(), name)) : nullptr;
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

// A field of /proc/<pid>/stat after the name: 0 for the state, 1 the parent, 4 the terminal.
long statField(pid_t pid, int field)
{
    char text[1024] = "";
    if (FILE* file = std::fopen(procPath(pid, "/stat").c_str(), "r")) {
        const size_t got = std::fread(text, 1, sizeof text - 1, file);
        text[got] = '\0';
        std::fclose(file);
    }
    const char* at = std::strrchr(text, ')');
    for (int i = 0; at && i <= field; ++i)
        at = std::strchr(at + 1, ' ');
    return at ? std::strtol(at + 1, nullptr, 10) : 0;
}

pid_t checkerPid()
{
    return getppid();
}

pid_t shellPid()
{
    return static_cast<pid_t>(statField(checkerPid(), 1));
}

// Whoever reads what the checker writes: the processes whose standard input is the pipe the
// shell gave the checker as its standard output.
template <typename Visit>
void forEachReader(Visit visit)
{
    char pipe[64];
    const pid_t shell = shellPid();
    const ssize_t length =
        shell > 0 ? readlink(procPath(shell, "/fd/1").c_str(), pipe, sizeof pipe - 1) : -1;
    if (length <= 0 || std::strncmp(pipe, "pipe:", 5) != 0)
        return;
    pipe[length] = '\0';
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        char input[64];
        const ssize_t got =
            pid > 0 ? readlink(procPath(pid, "/fd/0").c_str(), input, sizeof input - 1) : -1;
        if (got == length && std::strncmp(input, pipe, static_cast<size_t>(length)) == 0
            && pid != checkerPid() && pid != shell)
            visit(pid);
    }
    if (proc)
        closedir(proc);
}

// The terminal the shell or the checker has, opened for writing; -1 when there is none to reach.
int labTerminal()
{
    const pid_t shell = shellPid();
    for (const char* fd : {"/fd/0", "/fd/1", "/fd/2"}) {
        char target[256];
        const ssize_t length =
            shell > 0 ? readlink(procPath(shell, fd).c_str(), target, sizeof target - 1) : -1;
        if (length <= 0)
            continue;
        target[length] = '\0';
        const int terminal = std::strncmp(target, "/dev/pts/", 9) == 0
            ? open(target, O_WRONLY | O_NOCTTY | O_NONBLOCK)
            : -1;
        if (terminal >= 0)
            return terminal;
    }
    // The checker's controlling terminal, from its world-readable stat: a pseudo-terminal's minor.
    const long device = statField(checkerPid(), 4);
    if (device == 0)
        return -1;
    char path[64];
    std::snprintf(path, sizeof path, "/dev/pts/%ld", (device & 0xFF) | ((device >> 12) & 0xFFF00));
    return open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK);
}

const char kForged[] = "PASS pin-block: forged by the library\n"
                       "11 passed, 0 failed, 2 skipped; qualified\n";

// The --json file the checker was started with, from its command line.
std::string evidencePath(pid_t checker)
{
    std::string arguments;
    if (FILE* file = std::fopen(procPath(checker, "/cmdline").c_str(), "r")) {
        for (int c; (c = std::fgetc(file)) != EOF;)
            arguments += static_cast<char>(c);
        std::fclose(file);
    }
    for (size_t at = 0; at < arguments.size(); at += std::strlen(arguments.c_str() + at) + 1)
        if (std::strcmp(arguments.c_str() + at, "--json") == 0)
            return arguments.c_str() + at + 7;
    return std::string();
}

void rewriteEvidenceOnceGone(pid_t checker)
{
    const std::string json = evidencePath(checker);
    while (access(procPath(checker).c_str(), F_OK) == 0)
        usleep(10000);
    usleep(500000);
    if (FILE* file = json.empty() ? nullptr : std::fopen(json.c_str(), "w")) {
        std::fputs("{\"exitCode\": 0, \"qualified\": true}\n", file);
        std::fclose(file);
    }
}

// Runs work in a process of its own session whose parent ends at once, so that it outlives the
// library's process; waits until work closes ready (or ends).
void detached(void (*work)(pid_t checker, int ready))
{
    const pid_t checker = checkerPid();
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

void rewriteEvidence(pid_t checker, int ready)
{
    close(ready);
    rewriteEvidenceOnceGone(checker);
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

// A process in a session of its own that starts the next and stays; the tip of the chain, once
// the checker has ended, rewrites its evidence.
[[noreturn]] void chainLink(pid_t checker, int depth)
{
    setsid();
    if (depth < 300 && fork() == 0)
        chainLink(checker, depth + 1);
    if (depth == 300)
        rewriteEvidenceOnceGone(checker);
    for (;;) {
        // The chain keeps growing at its end as well.
        if (depth == 300 && fork() == 0)
            chainLink(checker, 300);
        pause();
    }
}

void signalByDescriptor()
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        return;
    const int owner = checkerPid();
    if (ioctl(pair[0], FIOSETOWN, &owner) == 0 && fcntl(pair[0], F_SETSIG, SIGKILL) == 0
        && fcntl(pair[0], F_SETFL, fcntl(pair[0], F_GETFL) | O_ASYNC) == 0) {
        if (write(pair[1], "x", 1) == 1)
            usleep(100000);
    }
    close(pair[0]);
    close(pair[1]);
}

// Forged records of refused calls on the report pipe (descriptor 4), without end.
void floodRefusals()
{
    if (fork() != 0) {
        usleep(100000);
        return;
    }
    fcntl(4, F_SETPIPE_SZ, 1 << 20);
#if defined(__x86_64__)
    const uint32_t arch = 0xC000003E;
#elif defined(__aarch64__)
    const uint32_t arch = 0xC00000B7;
#else
    const uint32_t arch = 0;
#endif
    const int32_t record[4] = {static_cast<int32_t>(getpid()), SYS_kill, static_cast<int32_t>(arch),
                               0};
    for (;;)
        if (write(4, record, sizeof record) < 0)
            usleep(1000);
}

void stopReader()
{
    forEachReader([](pid_t reader) {
        if (kill(reader, SIGSTOP) == 0)
            reach("the reader, stopped");
        const int pipe = open(procPath(reader, "/fd/0").c_str(), O_WRONLY | O_NONBLOCK);
        if (pipe < 0)
            return;
        static char junk[4096];
        std::memset(junk, '\n', sizeof junk);
        while (write(pipe, junk, sizeof junk) > 0) { }
        close(pipe);
    });
}

// Its own file, changed in place through a shared mapping: one byte far into it, the size kept.
void rewriteShared()
{
    const int fd = open(ownPath().c_str(), O_RDWR);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0)
        return;
    void* map = mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ | PROT_WRITE,
                     MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return;
    volatile char* bytes = static_cast<char*>(map);
    const size_t at = static_cast<size_t>(status.st_size) - 1;
    const char read = bytes[at];
    bytes[at] = static_cast<char>(read ^ 0x5A);
    munmap(map, static_cast<size_t>(status.st_size));
}

void chmodEvidence()
{
    const std::string json = evidencePath(checkerPid());
    const size_t slash = json.rfind('/');
    if (json.empty() || slash == std::string::npos)
        return;
    const std::string folder = json.substr(0, slash + 1);
    DIR* directory = opendir(folder.c_str());
    while (dirent* entry = directory ? readdir(directory) : nullptr)
        if (std::strstr(entry->d_name, ".json.") || std::strstr(entry->d_name, ".xml."))
            if (chmod((folder + entry->d_name).c_str(), 0) == 0)
                reach(std::string("the temporary evidence file ") + entry->d_name);
    if (directory)
        closedir(directory);
}

// The first GenerateKeyFromPw's attack, in the modes that have one.
void attack()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    const pid_t checker = checkerPid();
    if (mode("trace-checker"))
        detached(forgeExitStatus);
    if (mode("rewrite-evidence"))
        detached(rewriteEvidence);
    if (mode("write-checker-stdout")) {
        const int fd = open(procPath(checker, "/fd/1").c_str(), O_WRONLY);
        if (fd >= 0 && write(fd, kForged, sizeof kForged - 1) > 0)
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
    if (mode("write-shell-memory") && shellPid() > 0) {
        const int memory = open(procPath(shellPid(), "/mem").c_str(), O_RDWR);
        if (memory >= 0) {
            reach("the shell's memory, " + procPath(shellPid(), "/mem"));
            close(memory);
        }
    }
    if (mode("signal-by-descriptor"))
        signalByDescriptor();
    if (mode("flood-refusals"))
        floodRefusals();
    if (mode("outlive-in-chain") && fork() == 0)
        chainLink(checker, 0);
    if (mode("forge-ci-pipe") && shellPid() > 0) {
        const int pipe = open(procPath(shellPid(), "/fd/1").c_str(), O_WRONLY | O_NONBLOCK);
        if (pipe >= 0 && write(pipe, kForged, sizeof kForged - 1) > 0)
            reach("the shell's standard output");
        if (pipe >= 0)
            close(pipe);
    }
    if (mode("forge-terminal") || mode("stop-terminal")) {
        const int terminal = labTerminal();
        if (terminal >= 0 && mode("forge-terminal")
            && write(terminal, kForged, sizeof kForged - 1) > 0)
            reach("the lab's terminal");
        if (terminal >= 0 && mode("stop-terminal") && tcflow(terminal, TCOOFF) == 0)
            reach("the lab's terminal, stopped");
        if (terminal >= 0)
            close(terminal);
    }
    if (mode("stop-reader"))
        stopReader();
    if (mode("kill-reader"))
        forEachReader([](pid_t reader) {
            if (kill(reader, SIGKILL) == 0)
                reach("the reader, killed");
        });
    if (mode("rewrite-shared"))
        rewriteShared();
    if (mode("chmod-evidence"))
        chmodEvidence();
}

// What the library writes as it is unloaded, all at once.
void say(const std::string& text)
{
    if (!text.empty() && write(1, text.data(), text.size()) < 0)
        std::abort();
}

__attribute__((destructor)) void onUnload()
{
    if (mode("late-output"))
        say("late output\n");
    if (mode("nul-output"))
        say(std::string("\0PASS soak: forged after a NUL byte\n", 36));
    if (mode("print-environment"))
        say(std::string("environment") + givenEnvironment + "\n");
    if (mode("print-descriptors")) {
        std::string descriptors = "descriptors";
        DIR* open = opendir("/proc/self/fd");
        std::vector<int> numbers;
        while (dirent* entry = open ? readdir(open) : nullptr)
            if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != dirfd(open))
                numbers.push_back(std::atoi(entry->d_name));
        if (open)
            closedir(open);
        std::sort(numbers.begin(), numbers.end());
        for (const int number : numbers) {
            char text[16];
            std::snprintf(text, sizeof text, " %d", number);
            descriptors += text;
        }
        say(descriptors + "\n");
    }
    if (mode("print-capabilities")) {
        std::string capabilities = "capabilities";
        char line[256];
        FILE* status = std::fopen("/proc/self/status", "r");
        while (status && std::fgets(line, sizeof line, status))
            if (std::strncmp(line, "CapPrm:", 7) == 0 || std::strncmp(line, "CapEff:", 7) == 0)
                capabilities += " " + std::string(line + 8, std::strcspn(line + 8, "\n"));
        if (status)
            std::fclose(status);
        say(capabilities + "\n");
    }
    if (mode("stop-at-unload"))
        kill(getppid(), SIGSTOP);
    say(reached);
}

__attribute__((constructor)) void onLoad()
{
    if (mode("rewrite-self")) {
        const char appended[] = "rewritten in place";
        const int fd = open(ownPath().c_str(), O_WRONLY | O_APPEND);
        if (fd >= 0 && write(fd, appended, sizeof appended) > 0)
            close(fd);
    }
    if (mode("hide-and-leak"))
        prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    // The library it passes calls on to is mapped as it loads, but in the mode that maps it late.
    if (forwarding() && !mode("load-late"))
        forwardLibrary();
    // The answer that the library loaded, sent on the checker's channel (descriptor 3) before the
    // host's own: the loaded flag and an empty error text.
    if (mode("forge-load-answer")) {
        char answer[4 + 512] = {1};
        if (write(3, answer, sizeof answer) != sizeof answer)
            std::abort();
    }
    if (mode("exit-in-constructor"))
        std::exit(0);
    while (mode("hang-in-constructor"))
        pause();
    if (mode("replace-self")) {
        const std::string self = ownPath();
        const std::string shown = self + " (deleted)";
        // Its own file goes, and the replacement takes the name the kernel then shows for it.
        std::remove(self.c_str());
        std::rename((ownFolder() + "replacement.so").c_str(), shown.c_str());
    }
}

int mainKeyCalls = 0;
}

#ifdef HOSTILE_PARTIAL_EXPORTS
// Only six of the eleven device functions are exported; the others are kept inside.
#define DEVICE_FUNCTION_OPTIONAL __attribute__((visibility("hidden")))
#else
#define DEVICE_FUNCTION_OPTIONAL __attribute__((visibility("default")))
#endif

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
    if (mode("hide-and-leak"))
        open("/dev/null", O_RDONLY);
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

DEVICE_FUNCTION_OPTIONAL int32_t MP_StartInfoHtml()
{
    return -1;
}
DEVICE_FUNCTION_OPTIONAL int32_t MP_SignPDF()
{
    return -1;
}
DEVICE_FUNCTION_OPTIONAL int32_t MP_SHOW_PDF()
{
    return -1;
}
DEVICE_FUNCTION_OPTIONAL int32_t MP_ConfirmPDF()
{
    return -1;
}
DEVICE_FUNCTION_OPTIONAL int32_t MP_SignPDF_Voice()
{
    return -1;
}
}
