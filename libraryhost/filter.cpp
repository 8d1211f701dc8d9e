#include "libraryhost/filter.h"

#include "libraryhost/filterpolicy.h"
#include "libraryhost/hostprotocol.h"

#include <seccomp.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <linux/capability.h>
#include <linux/securebits.h>
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
        const HostRefusal record{static_cast<int32_t>(getpid()), info->si_syscall, info->si_arch,
                                 0};
        const ssize_t written = write(reportFd, &record, sizeof record);
        (void)written;
    }
    _exit(127);
}

// Root may trace, and open the descriptors of, any process, dumpable or not, and do much else
// besides: the library's process keeps no capability, none in its bounding set so that nothing it
// runs gets one back, and no way back to them through running a program as root. An ordinary
// user's process had none to give up.
void dropCapabilities()
{
    for (int capability = 0; prctl(PR_CAPBSET_READ, capability, 0, 0, 0) >= 0; ++capability)
        prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    prctl(PR_SET_SECUREBITS,
          SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP
              | SECBIT_NO_SETUID_FIXUP_LOCKED,
          0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    syscall(SYS_capset, &header, none);
}

class Filter {
public:
    Filter(pid_t checker, pid_t checkerGroup)
        : m_context(seccomp_init(SCMP_ACT_ALLOW))
        , m_checker(checker)
        , m_checkerGroup(checkerGroup)
    {
    }
    ~Filter() { seccomp_release(m_context); }
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    // Adds the rule, unless it is aimed at a checker out of reach. A call this libseccomp does not
    // know is left out: no library can make a call the kernel's headers did not have either.
    void add(const FilterPolicy::Rule& rule)
    {
        scmp_arg_cmp comparisons[2];
        for (int i = 0; i < rule.argumentCount; ++i)
            if (!comparison(rule.arguments[i], &comparisons[i]))
                return;
        const int number = seccomp_syscall_resolve_name(rule.call);
        if (!m_context || m_error || number == __NR_SCMP_ERROR)
            return;
        const uint32_t action =
            rule.action == FilterPolicy::Action::Trap ? SCMP_ACT_TRAP : SCMP_ACT_KILL_PROCESS;
        const int result = seccomp_rule_add_array(
            m_context, action, number, static_cast<unsigned>(rule.argumentCount), comparisons);
        if (result < 0)
            fail(-result, "seccomp_rule_add", rule.call);
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
    // The comparison an argument rule makes; false when it needs the checker, out of reach.
    bool comparison(const FilterPolicy::Argument& argument, scmp_arg_cmp* result) const
    {
        int64_t value = argument.value;
        switch (argument.operand) {
        case FilterPolicy::Operand::Value:
            break;
        case FilterPolicy::Operand::Checker:
            value = m_checker;
            break;
        case FilterPolicy::Operand::MinusChecker:
            value = -static_cast<int64_t>(m_checker);
            break;
        case FilterPolicy::Operand::MinusCheckerGroup:
            value = -static_cast<int64_t>(m_checkerGroup);
            break;
        }
        if (argument.operand != FilterPolicy::Operand::Value
            && (m_checker <= 0 || m_checkerGroup <= 0))
            return false;
        const unsigned index = static_cast<unsigned>(argument.index);
        // An equality is on the 32 bits the kernel reads of an int argument: the upper half of
        // the register is not compared, so that a caller cannot slip past a rule by setting it.
        // An inequality is on the whole register, which refuses more, never less.
        if (argument.compare == FilterPolicy::Compare::Equal)
            *result = SCMP_CMP(index, SCMP_CMP_MASKED_EQ, 0xFFFFFFFFULL,
                               static_cast<scmp_datum_t>(static_cast<uint32_t>(value)));
        else
            *result = SCMP_CMP(index, SCMP_CMP_NE, static_cast<scmp_datum_t>(value));
        return true;
    }

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
    pid_t m_checker;
    pid_t m_checkerGroup;
    int m_error = 0;
    const char* m_failed = "";
    const char* m_call = "";
};
}

int enterFilter(pid_t checker, pid_t checkerGroup, int report, char* problem, size_t size)
{
    reportFd = report;
    dropCapabilities();

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onRefusedCall;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGSYS, &action, nullptr) != 0) {
        const int error = errno;
        std::snprintf(problem, size, "sigaction: %s", std::strerror(error));
        return error;
    }

    Filter filter(checker, checkerGroup);
    for (const FilterPolicy::Rule& rule : FilterPolicy::kRules)
        filter.add(rule);
    return filter.load(problem, size);
}
