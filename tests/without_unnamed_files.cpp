// Runs a program as on a file system without unnamed files: a seccomp filter makes every
// open that asks for one fail with EOPNOTSUPP. Unlike a preloaded library, it reaches a
// statically linked program too. Built for a machine it has no filter for, it runs nothing
// and exits with 77, so that the cases that need it are skipped rather than left waiting.
//
// Usage: without_unnamed_files PROGRAM [ARGUMENT...]
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The calls of this machine, as the filter sees them (the flags are read as the low word of
// their argument, so little-endian machines only): another machine's calls (a 32-bit call
// from a 64-bit program) would carry other numbers, so they end the process instead.
#if defined(__x86_64__)
constexpr unsigned this_machine = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__) && !defined(__AARCH64EB__)
constexpr unsigned this_machine = AUDIT_ARCH_AARCH64;
#elif defined(__arm__) && defined(__ARMEL__)
constexpr unsigned this_machine = AUDIT_ARCH_ARM;
#elif defined(__i386__)
constexpr unsigned this_machine = AUDIT_ARCH_I386;
#else
constexpr unsigned this_machine = 0;  // no filter here
#endif

constexpr sock_filter statement(unsigned short code, unsigned value)
{
    return {code, 0, 0, value};
}

constexpr sock_filter jump_if(unsigned value, unsigned char if_true, unsigned char if_false)
{
    return {BPF_JMP | BPF_JEQ | BPF_K, if_true, if_false, value};
}

constexpr unsigned argument(int index)
{
    return static_cast<unsigned>(offsetof(seccomp_data, args) + static_cast<std::size_t>(index) * sizeof(__u64));
}

constexpr unsigned unnamed = O_TMPFILE & ~O_DIRECTORY;  // the bit that sets O_TMPFILE apart
constexpr unsigned refuse = SECCOMP_RET_ERRNO | EOPNOTSUPP;

// Refuses the call when the flags in the given argument ask for an unnamed file; allows the
// rest. Ends at the instruction after it when the call is another one.
constexpr std::array<sock_filter, 5> refuse_unnamed(unsigned call, int flags)
{
    return {
        jump_if(call, 0, 4),
        statement(BPF_LD | BPF_W | BPF_ABS, argument(flags)),
        statement(BPF_ALU | BPF_AND | BPF_K, unnamed),
        jump_if(unnamed, 0, 1),
        statement(BPF_RET | BPF_K, refuse),
    };
}

constexpr auto filter()
{
    constexpr std::array head{
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        jump_if(this_machine, 1, 0),
        statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    // openat2 takes its flags in a structure the filter cannot read: without it, the C library
    // uses openat.
    constexpr std::array tail{
        jump_if(SYS_openat2, 0, 1),
        statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    // After each check the accumulator is no longer the call's number: load it again.
    constexpr auto reload = statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
    constexpr auto at = refuse_unnamed(SYS_openat, 2);  // openat(folder, name, flags, mode)
#ifdef SYS_open
    constexpr auto plain = refuse_unnamed(SYS_open, 1);  // open(name, flags, mode); not on aarch64
    std::array<sock_filter, head.size() + 2 * (at.size() + 1) + tail.size()> program{};
#else
    std::array<sock_filter, head.size() + at.size() + 1 + tail.size()> program{};
#endif
    std::size_t next = 0;
    for (const auto& part : head) {
        program.at(next++) = part;
    }
    for (const auto& part : at) {
        program.at(next++) = part;
    }
    program.at(next++) = reload;
#ifdef SYS_open
    for (const auto& part : plain) {
        program.at(next++) = part;
    }
    program.at(next++) = reload;
#endif
    for (const auto& part : tail) {
        program.at(next++) = part;
    }
    return program;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage: without_unnamed_files PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    if (this_machine == 0) {
        std::fputs("without_unnamed_files: no filter for this machine\n", stderr);
        return 77;
    }
    static constexpr auto program_text = filter();
    const sock_fprog program{static_cast<unsigned short>(program_text.size()),
                             const_cast<sock_filter*>(program_text.data())};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::perror("without_unnamed_files: seccomp");
        return 2;
    }
    execv(argv[1], argv + 1);
    std::perror("without_unnamed_files: exec");
    return 2;
}
