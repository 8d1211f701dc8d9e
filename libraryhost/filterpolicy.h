// The seccomp policy of the library's process, as one table: each call that would reach out of the
// process at the checker or at another process, the condition on its arguments, what the filter
// does, and the words that name a refusal in the report. The host builds its filter from this
// table and the checker names what the filter refused from it.
//
// Every call the table does not name is allowed. A device library legitimately makes any call of
// the C library and of its device's drivers (ioctl on a serial or USB node, threads, timers,
// files), which no list could name in advance: an allow-list would fail vendor libraries for
// calls nobody could foresee. What must not happen is narrow and nameable (reaching into or
// signalling another process), and the namespaces around the host are the first layer that keeps
// the rest out of reach; this filter is the second.
#ifndef FILTERPOLICY_H
#define FILTERPOLICY_H

#include <csignal>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace FilterPolicy {

enum class Action {
    Trap,        // SIGSYS, whose handler reports the call and ends the process
    KillProcess, // the process is ended at once, with no report
};
enum class Compare { Equal, NotEqual };
// What an argument is compared with: a value, or the checker's pid or process group, which the
// host knows only when the checker is within its reach (no pid namespace between them). A rule
// that needs them is left out otherwise.
enum class Operand { Value, Checker, MinusChecker, MinusCheckerGroup };

struct Argument {
    int index; // 0 for the first argument
    Compare compare;
    Operand operand;
    int64_t value; // for Operand::Value
};

struct Rule {
    const char* call; // as libseccomp names it
    Action action;
    int argumentCount; // 0: the call is refused whatever its arguments
    Argument arguments[2];
    // After "tried <call>()" in the report. Every rule of one call has the same words: a refusal
    // is known by its call alone.
    const char* words;
};

// The comparisons of a rule, by name.
constexpr Argument is(int index, int64_t value)
{
    return {index, Compare::Equal, Operand::Value, value};
}
constexpr Argument isNot(int index, int64_t value)
{
    return {index, Compare::NotEqual, Operand::Value, value};
}
constexpr Argument isChecker(int index, Operand checker = Operand::Checker)
{
    return {index, Compare::Equal, checker, 0};
}

constexpr const char kOnChecker[] = " on the checker";
constexpr const char kSignals[] = " to have a descriptor signal another process";
constexpr Action kTrap = Action::Trap;

// One rule a line, as a table is read.
// clang-format off
constexpr Rule kRules[] = {
    // Tracing, and reading or writing another process's memory, whichever process it is.
    {"ptrace",            kTrap, 0, {}, ""},
    {"process_vm_readv",  kTrap, 0, {}, ""},
    {"process_vm_writev", kTrap, 0, {}, ""},
    {"pidfd_getfd",       kTrap, 0, {}, ""},
    // A pidfd's process cannot be told from the call, so no pidfd signal is let through; nor is
    // a pidfd of the checker made.
    {"pidfd_send_signal", kTrap, 0, {}, ""},
    {"pidfd_open",        kTrap, 1, {isChecker(0)}, kOnChecker},
    // Signals to the checker: to its pid, its process group, and to every process (-1).
    {"kill",              kTrap, 1, {isChecker(0)}, kOnChecker},
    {"kill",              kTrap, 1, {isChecker(0, Operand::MinusChecker)}, kOnChecker},
    {"kill",              kTrap, 1, {isChecker(0, Operand::MinusCheckerGroup)}, kOnChecker},
    {"kill",              kTrap, 1, {is(0, -1)}, kOnChecker},
    {"tkill",             kTrap, 1, {isChecker(0)}, kOnChecker},
    {"tgkill",            kTrap, 1, {isChecker(0)}, kOnChecker},
    {"rt_sigqueueinfo",   kTrap, 1, {isChecker(0)}, kOnChecker},
    {"rt_tgsigqueueinfo", kTrap, 1, {isChecker(0)}, kOnChecker},
    // A descriptor that signals another process when it is ready: its owner set to the checker,
    // or through a pointer the filter cannot read, or the signal it sends chosen (SIGKILL too).
    {"fcntl",             kTrap, 2, {is(1, F_SETOWN), isChecker(2)}, kSignals},
    {"fcntl",             kTrap, 2, {is(1, F_SETOWN), isChecker(2, Operand::MinusCheckerGroup)}, kSignals},
    {"fcntl",             kTrap, 1, {is(1, F_SETOWN_EX)}, kSignals},
    {"fcntl",             kTrap, 1, {is(1, F_SETSIG)}, kSignals},
    {"ioctl",             kTrap, 1, {is(1, FIOSETOWN)}, kSignals},
    {"ioctl",             kTrap, 1, {is(1, SIOCSPGRP)}, kSignals},
    // Another process's limits: a file size limit of 0 would end the checker at its first write.
    {"prlimit64",         kTrap, 1, {isNot(0, 0)}, " on another process"},
    // The handler that reports a refused call stays in place: replacing it ends the process.
    {"rt_sigaction",      Action::KillProcess, 2, {is(0, SIGSYS), isNot(1, 0)}, ""},
};
// clang-format on

constexpr bool sameText(const char* a, const char* b)
{
    for (; *a && *a == *b; ++a, ++b) { }
    return *a == *b;
}

// Every rule of one call has the same words (see Rule::words).
constexpr bool wordsAgree()
{
    for (const Rule& rule : kRules)
        for (const Rule& other : kRules)
            if (sameText(rule.call, other.call) && !sameText(rule.words, other.words))
                return false;
    return true;
}
static_assert(wordsAgree(), "the rules of one call must name a refusal in the same words");

// The words that name a refused call, looked up by its name ("kill"); empty for a call the table
// does not name.
inline const char* refusalWords(const char* call)
{
    for (const Rule& rule : kRules)
        if (std::strcmp(rule.call, call) == 0)
            return rule.words;
    return "";
}

} // namespace FilterPolicy

#endif
