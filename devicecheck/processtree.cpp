#include "devicecheck/processtree.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
volatile sig_atomic_t session = 0;

struct ProcessEntry {
    pid_t pid;
    char state;
    pid_t parent;
    pid_t group;
    pid_t session;
};

// "/proc/<pid>/stat" into path, without the C library's formatting.
void statPath(pid_t pid, char* path)
{
    char digits[16];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + pid % 10);
        pid /= 10;
    } while (pid > 0 && count < 15);
    std::memcpy(path, "/proc/", 6);
    char* at = path + 6;
    while (count > 0)
        *at++ = digits[--count];
    std::memcpy(at, "/stat", 6);
}

// Reads a decimal number, possibly negative, at text, and moves text past it and one space.
long long readNumber(const char*& text, const char* end)
{
    bool negative = text < end && *text == '-';
    if (negative)
        ++text;
    long long value = 0;
    while (text < end && *text >= '0' && *text <= '9')
        value = value * 10 + (*text++ - '0');
    if (text < end && *text == ' ')
        ++text;
    return negative ? -value : value;
}

// The state, parent, process group and session of pid from "pid (name) S ppid pgrp session ...";
// the name may hold spaces and parentheses, so the fields start after its last ')'.
bool readEntry(pid_t pid, ProcessEntry* entry)
{
    char path[32];
    statPath(pid, path);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[512];
    const ssize_t got = read(fd, text, sizeof text);
    close(fd);
    if (got <= 0)
        return false;
    const char* end = text + got;
    const char* close = nullptr;
    for (const char* at = text; at < end; ++at)
        if (*at == ')')
            close = at;
    if (!close || end - close < 4)
        return false;
    const char* at = close + 2;
    entry->pid = pid;
    entry->state = *at;
    at += 2;
    entry->parent = static_cast<pid_t>(readNumber(at, end));
    entry->group = static_cast<pid_t>(readNumber(at, end));
    entry->session = static_cast<pid_t>(readNumber(at, end));
    return true;
}

struct LinuxDirent64 {
    unsigned long long inode;
    long long offset;
    unsigned short length;
    unsigned char type;
    char name[1];
};

// Calls visit(entry) for every process in /proc, read with getdents64 so that nothing
// is allocated.
template <typename Visit>
void forEachProcess(Visit visit)
{
    const int directory = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return;
    alignas(8) char buffer[8192];
    for (;;) {
        const long got = syscall(SYS_getdents64, directory, buffer, sizeof buffer);
        if (got <= 0)
            break;
        for (long offset = 0; offset < got;) {
            const auto* item = reinterpret_cast<const LinuxDirent64*>(buffer + offset);
            offset += item->length;
            pid_t pid = 0;
            const char* name = item->name;
            while (*name >= '0' && *name <= '9')
                pid = pid * 10 + (*name++ - '0');
            ProcessEntry entry;
            if (*name == '\0' && pid > 0 && readEntry(pid, &entry))
                visit(entry);
        }
    }
    close(directory);
}

// The processes one round has found, so that their children are found in the same round: /proc
// lists processes in the order of their pids, a child's mostly after its parent's, so that a chain
// of processes each started by the last is found whole. Fixed in size, for the signal handler.
constexpr int kMarkedSize = 4096;
pid_t marked[kMarkedSize];
int markedCount = 0;

bool isMarked(pid_t pid)
{
    for (int i = 0; i < markedCount; ++i)
        if (marked[i] == pid)
            return true;
    return false;
}

bool isLibraryProcess(const ProcessEntry& entry, pid_t self, pid_t library)
{
    if (entry.pid == self)
        return false;
    // A zombie that is not this process's child is already gone as far as it can act.
    if (entry.parent != self && entry.state == 'Z')
        return false;
    return entry.parent == self || isMarked(entry.parent)
        || (library > 0 && (entry.session == library || entry.group == library));
}

void sleepMs(long milliseconds)
{
    timespec pause{0, milliseconds * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) { }
}
}

namespace ProcessTree {

int becomeSubreaper()
{
    return prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0 ? 0 : errno;
}

void setLibrarySession(pid_t pid)
{
    session = pid;
}

pid_t librarySession()
{
    return session;
}

int killRound()
{
    const pid_t self = getpid();
    const pid_t library = session;
    if (library > 0)
        kill(-library, SIGKILL);
    int found = 0;
    markedCount = 0;
    forEachProcess([&](const ProcessEntry& entry) {
        if (!isLibraryProcess(entry, self, library))
            return;
        ++found;
        if (markedCount < kMarkedSize)
            marked[markedCount++] = entry.pid;
        kill(entry.pid, SIGKILL);
    });
    return found;
}

pid_t firstChild(pid_t parent)
{
    pid_t child = 0;
    forEachProcess([&](const ProcessEntry& entry) {
        if (child == 0 && entry.parent == parent)
            child = entry.pid;
    });
    return child;
}

int reapChildren(void (*ended)(pid_t, int, void*), void* context)
{
    const pid_t self = getpid();
    int left = 0;
    forEachProcess([&](const ProcessEntry& entry) {
        if (entry.parent != self)
            return;
        int status = 0;
        const pid_t reaped = waitpid(entry.pid, &status, WNOHANG | __WALL);
        // Only an ending is an ending: a stopped or traced child is still there.
        if (reaped == entry.pid && (WIFEXITED(status) || WIFSIGNALED(status))) {
            if (ended)
                ended(reaped, status, context);
            return;
        }
        ++left;
    });
    return left;
}

bool endAll(long long deadlineMs, void (*ended)(pid_t, int, void*), void* context,
            void (*betweenRounds)(void*))
{
    for (long pause = 1;; pause = pause < 16 ? 2 * pause : pause) {
        const int found = killRound();
        if (betweenRounds)
            betweenRounds(context);
        const int left = reapChildren(ended, context);
        if (found == 0 && left == 0)
            return true;
        if (nowMs() >= deadlineMs)
            return false;
        sleepMs(pause);
    }
}

long long nowMs()
{
    timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return static_cast<long long>(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
}

} // namespace ProcessTree
