#include "devicecheck/sandbox.h"

#include <seccomp.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// The si_code of a SIGSYS that a seccomp filter sent (SYS_SECCOMP in the kernel's headers, which
// cannot be included beside the C library's).
constexpr int kSeccompCode = 1;

int reportFd = -1;

// A refused call: the record goes to the checker, and the process that made the call ends
// before it can try anything else.
void onRefusedCall(int, siginfo_t* info, void*)
{
    if (info->si_code == kSeccompCode) {
        const SandboxRecord record{static_cast<int32_t>(getpid()), info->si_syscall, info->si_arch,
                                   0};
        const ssize_t written = write(reportFd, &record, sizeof record);
        (void)written;
    }
    _exit(127);
}

// Root may trace, and open the descriptors of, any process, dumpable or not; without this
// capability, in its bounding set too so that nothing the library runs gets it back, a process of
// the library's cannot reach into the checker. Without the right to drop it from the bounding set
// (an ordinary user), the process never had it.
void dropTracing()
{
    prctl(PR_CAPBSET_DROP, CAP_SYS_PTRACE, 0, 0, 0);
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_LOWER, CAP_SYS_PTRACE, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3];
    if (syscall(SYS_capget, &header, data) != 0)
        return;
    const unsigned bit = 1u << (CAP_SYS_PTRACE % 32);
    __user_cap_data_struct& word = data[CAP_SYS_PTRACE / 32];
    word.effective &= ~bit;
    word.permitted &= ~bit;
    word.inheritable &= ~bit;
    syscall(SYS_capset, &header, data);
}

// A 32-bit argument as the kernel reads it: the upper half of the register is not compared, so
// that a caller cannot slip past a rule by setting it.
scmp_arg_cmp argumentIs(unsigned argument, int value)
{
    return SCMP_CMP(argument, SCMP_CMP_MASKED_EQ, 0xFFFFFFFFULL,
                    static_cast<scmp_datum_t>(static_cast<uint32_t>(value)));
}

class Filter {
public:
    Filter()
        : m_context(seccomp_init(SCMP_ACT_ALLOW))
    {
    }
    ~Filter() { seccomp_release(m_context); }
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    // Refuses the call, when the comparisons hold, with action. A call this libseccomp does not
    // know is left out: no library can make a call the kernel's headers did not have either.
    void refuse(const char* call, uint32_t action = SCMP_ACT_TRAP,
                std::initializer_list<scmp_arg_cmp> when = {})
    {
        const int number = seccomp_syscall_resolve_name(call);
        if (!m_context || m_error || number == __NR_SCMP_ERROR)
            return;
        const int result = seccomp_rule_add_array(m_context, action, number,
                                                  static_cast<unsigned>(when.size()), when.begin());
        if (result < 0)
            fail(-result, "seccomp_rule_add", call);
    }

    int load(char* problem, size_t size)
    {
        if (!m_context)
            fail(ENOMEM, "seccomp_init");
        else if (!m_error) {
            // A call of another architecture (a 32-bit call from a 64-bit process) would not meet
            // these rules: it ends the process instead.
            int result =
                seccomp_attr_set(m_context, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS);
            if (result < 0)
                fail(-result, "seccomp_attr_set");
            else if ((result = seccomp_load(m_context)) < 0)
                fail(-result, "seccomp_load");
        }
        if (m_error)
            std::snprintf(problem, size, "%s%s%s: %s", m_failed, *m_call ? " for " : "", m_call,
                          std::strerror(m_error));
        return m_error;
    }

private:
    // The first failure: what failed, and for which call.
    void fail(int error, const char* what, const char* call = "")
    {
        if (!m_error) {
            m_error = error;
            m_failed = what;
            m_call = call;
        }
    }

    scmp_filter_ctx m_context;
    int m_error = 0;
    const char* m_failed = "";
    const char* m_call = "";
};
}

int enterSandbox(pid_t checker, pid_t checkerGroup, int report, char* problem, size_t size)
{
    reportFd = report;
    // The checker reads this process's memory map to name the file that answers.
    prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    dropTracing();

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onRefusedCall;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGSYS, &action, nullptr) != 0) {
        std::snprintf(problem, size, "sigaction: %s", std::strerror(errno));
        return errno;
    }

    Filter filter;
    // Tracing and reading or writing another process's memory, whichever process it is.
    for (const char* call : {"ptrace", "process_vm_readv", "process_vm_writev", "pidfd_getfd"})
        filter.refuse(call);
    // Signals to the checker: to its pid, its process group, and to every process (-1). A pidfd's
    // process cannot be told from the call, so no pidfd signal is let through; nor is a pidfd of
    // the checker made.
    filter.refuse("pidfd_send_signal");
    filter.refuse("pidfd_open", SCMP_ACT_TRAP, {argumentIs(0, checker)});
    for (const int target : {checker, -checker, -checkerGroup, -1})
        filter.refuse("kill", SCMP_ACT_TRAP, {argumentIs(0, target)});
    for (const char* call : {"tkill", "tgkill", "rt_sigqueueinfo", "rt_tgsigqueueinfo"})
        filter.refuse(call, SCMP_ACT_TRAP, {argumentIs(0, checker)});
    // The checker named as the owner of a descriptor, to be sent a signal when it is ready.
    for (const int target : {checker, -checkerGroup})
        filter.refuse("fcntl", SCMP_ACT_TRAP, {argumentIs(1, F_SETOWN), argumentIs(2, target)});
    filter.refuse("fcntl", SCMP_ACT_TRAP, {argumentIs(1, F_SETOWN_EX)});
    // Another process's limits: a file size limit of 0 would end the checker at its first write.
    filter.refuse("prlimit64", SCMP_ACT_TRAP, {SCMP_A0(SCMP_CMP_NE, 0)});
    // The handler that reports a refused call stays in place: replacing it ends the process.
    filter.refuse("rt_sigaction", SCMP_ACT_KILL_PROCESS,
                  {argumentIs(0, SIGSYS), SCMP_A1(SCMP_CMP_NE, 0)});
    return filter.load(problem, size);
}

std::string refusedCallName(const SandboxRecord& record)
{
    char* name = seccomp_syscall_resolve_num_arch(record.arch, record.syscall);
    std::string text = name ? std::string(name) : "syscall " + std::to_string(record.syscall);
    std::free(name);
    return text + "()";
}

std::string refusedCallTarget(const SandboxRecord& record)
{
    const std::string name = refusedCallName(record);
    if (name == "prlimit64()")
        return " on another process";
    for (const char* call :
         {"kill()", "tkill()", "tgkill()", "rt_sigqueueinfo()", "rt_tgsigqueueinfo()",
          "pidfd_open()", "pidfd_send_signal()", "fcntl()"})
        if (name == call)
            return " on the checker";
    return std::string();
}
