// Runs a program under a seccomp filter that makes the system look narrower than this one:
// unlike a preloaded library, it reaches a statically linked program too. Built for a machine
// it has no filter for, it runs nothing and exits with 77, so that the cases that need it are
// skipped rather than left waiting.
//
// Usage: limited_calls MODE PROGRAM [ARGUMENT...], where MODE is one of
//   without-unnamed-files  every open that asks for a file without a name fails with EOPNOTSUPP,
//                          as on a file system that has none
//   old-kernel-enosys      every call newer than Linux 4.18 fails with ENOSYS, as on that kernel,
//                          and a link by descriptor (AT_EMPTY_PATH) with ENOENT, as before 6.10
//                          for a process without CAP_DAC_READ_SEARCH
//   old-kernel-eperm       the same with EPERM for the newer calls, as older container runtimes
//                          answer calls they do not know
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <string_view>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

// The calls of this machine, as the filter sees them (flags are read as the low word of their
// argument, so little-endian machines only): another machine's calls (a 32-bit call from a
// 64-bit program) would carry other numbers, so they end the process instead. As on Linux 4.18,
// no call numbered past rseq, the last one 4.18 added (on ARM that takes io_pgetevents and
// migrate_pages too, which this program never makes).
#if defined(__x86_64__)
constexpr unsigned this_machine = AUDIT_ARCH_X86_64;
constexpr unsigned first_newer_call = 424;
#elif defined(__aarch64__) && !defined(__AARCH64EB__)
constexpr unsigned this_machine = AUDIT_ARCH_AARCH64;
constexpr unsigned first_newer_call = 294;
#elif defined(__arm__) && defined(__ARMEL__)
constexpr unsigned this_machine = AUDIT_ARCH_ARM;
constexpr unsigned first_newer_call = 399;
#elif defined(__i386__)
constexpr unsigned this_machine = AUDIT_ARCH_I386;
constexpr unsigned first_newer_call = 387;
#else
constexpr unsigned this_machine = 0;  // no filter here
constexpr unsigned first_newer_call = 0;
#endif

using program_text = std::vector<sock_filter>;

sock_filter statement(unsigned short code, unsigned value)
{
    return {code, 0, 0, value};
}

sock_filter jump_if(unsigned short test, unsigned value, unsigned char if_true, unsigned char if_false)
{
    return {static_cast<unsigned short>(BPF_JMP | test | BPF_K), if_true, if_false, value};
}

constexpr unsigned argument(int index)
{
    return static_cast<unsigned>(offsetof(seccomp_data, args) + static_cast<std::size_t>(index) * sizeof(__u64));
}

sock_filter load_call()
{
    return statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
}

sock_filter answer(unsigned error)
{
    return statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | error);
}

// Fails the call with `error` when the flags in the given argument have all of `bits`; ends
// with the call's number loaded again, for the next check.
void refuse_flags(program_text& program, unsigned call, int flags, unsigned bits, unsigned error)
{
    program.insert(program.end(), {
                                      jump_if(BPF_JEQ, call, 0, 4),
                                      statement(BPF_LD | BPF_W | BPF_ABS, argument(flags)),
                                      statement(BPF_ALU | BPF_AND | BPF_K, bits),
                                      jump_if(BPF_JEQ, bits, 0, 1),
                                      answer(error),
                                      load_call(),
                                  });
}

void without_unnamed_files(program_text& program)
{
    constexpr unsigned unnamed = O_TMPFILE & ~O_DIRECTORY;      // the bit that sets O_TMPFILE apart
    refuse_flags(program, SYS_openat, 2, unnamed, EOPNOTSUPP);  // openat(folder, name, flags, mode)
#ifdef SYS_open
    refuse_flags(program, SYS_open, 1, unnamed, EOPNOTSUPP);  // open(name, flags, mode); not on aarch64
#endif
    // openat2 takes its flags in a structure the filter cannot read: without it, the C library
    // uses openat.
    program.insert(program.end(), {jump_if(BPF_JEQ, SYS_openat2, 0, 1), answer(ENOSYS)});
}

void old_kernel(program_text& program, unsigned error)
{
    refuse_flags(program, SYS_linkat, 4, AT_EMPTY_PATH, ENOENT);  // linkat(from, name, to, name, flags)
    program.insert(program.end(), {jump_if(BPF_JGE, first_newer_call, 0, 1), answer(error)});
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string_view mode = argc > 1 ? argv[1] : "";
    program_text program{
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        jump_if(BPF_JEQ, this_machine, 1, 0),
        statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        load_call(),
    };
    const bool old = mode == "old-kernel-enosys" || mode == "old-kernel-eperm";
    if (argc < 3 || (!old && mode != "without-unnamed-files")) {
        (void)std::fputs(
            "usage: limited_calls without-unnamed-files|old-kernel-enosys|old-kernel-eperm PROGRAM [ARGUMENT...]\n",
            stderr);
        return 2;
    }
    if (this_machine == 0) {
        (void)std::fputs("limited_calls: no filter for this machine\n", stderr);
        return 77;
    }
    if (old) {
        old_kernel(program, mode == "old-kernel-enosys" ? ENOSYS : EPERM);
    } else {
        without_unnamed_files(program);
    }
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        std::perror("limited_calls: seccomp");
        return 2;
    }
    execv(argv[2], argv + 2);
    std::perror("limited_calls: exec");
    return 2;
}
