// Runs a program as on a file system without unnamed files: a seccomp filter makes every
// open that asks for one fail with EOPNOTSUPP. Unlike a preloaded library, it reaches a
// statically linked program too.
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

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage: without_unnamed_files PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    constexpr unsigned unnamed = O_TMPFILE & ~O_DIRECTORY;  // the bit that sets O_TMPFILE apart
    constexpr unsigned refuse = SECCOMP_RET_ERRNO | EOPNOTSUPP;
    const std::array filter{
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        jump_if(AUDIT_ARCH_X86_64, 0, 10),  // elsewhere: allow everything
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        jump_if(SYS_open, 0, 3),
        statement(BPF_LD | BPF_W | BPF_ABS, argument(1)),  // open(name, flags, mode)
        statement(BPF_ALU | BPF_AND | BPF_K, unnamed),
        jump_if(unnamed, 4, 5),
        jump_if(SYS_openat, 0, 4),
        statement(BPF_LD | BPF_W | BPF_ABS, argument(2)),  // openat(folder, name, flags, mode)
        statement(BPF_ALU | BPF_AND | BPF_K, unnamed),
        jump_if(unnamed, 0, 1),
        statement(BPF_RET | BPF_K, refuse),
        statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(filter.size()), const_cast<sock_filter*>(filter.data())};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::perror("without_unnamed_files: seccomp");
        return 2;
    }
    execv(argv[1], argv + 1);
    std::perror("without_unnamed_files: exec");
    return 2;
}
