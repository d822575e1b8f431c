// Interrupts on Linux: the signals that end the process remove every registered staged name
// first, and are kept back while a name and its registration change together.
#include "interrupts.hpp"

#include <algorithm>
#include <array>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace halvek {
namespace {

// Every signal whose default is to end the process, but those the run turns into failed
// writes (SIGPIPE, SIGXFSZ) and those no handler can catch.
bool ends_the_process(int signal_number)
{
    constexpr std::array others{SIGKILL, SIGSTOP, SIGCHLD, SIGCONT, SIGURG, SIGWINCH,
                                SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE, SIGXFSZ};
    return std::ranges::find(others, signal_number) == others.end();
}

sigset_t ending_signals()
{
    sigset_t set;
    ::sigemptyset(&set);
    for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
        if (ends_the_process(signal_number)) {
            ::sigaddset(&set, signal_number);
        }
    }
    return set;
}

extern "C" void remove_staged_and_end(int signal_number)
{
    staged_name::remove_all();
    // Then the signal's own ending, a core dump included where that is its default.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    ::sigaction(signal_number, &default_action, nullptr);
    sigset_t own;
    ::sigemptyset(&own);
    ::sigaddset(&own, signal_number);
    ::sigprocmask(SIG_UNBLOCK, &own, nullptr);
    (void)::raise(signal_number);
    // Still here: the system drops a signal that the first process of a namespace sends
    // itself. End as a shell reports an end by that signal.
    ::_exit(128 + signal_number);
}

}  // namespace

void remove_staged_names_on_interrupt() noexcept
{
    struct sigaction action {};
    action.sa_handler = remove_staged_and_end;
    action.sa_mask = ending_signals();  // one ending at a time
    for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
        struct sigaction current {};
        // A signal ignored from the start (as under nohup) stays ignored. The C library keeps
        // a few real-time signals for itself and refuses them here.
        if (ends_the_process(signal_number) && ::sigaction(signal_number, nullptr, &current) == 0 &&
            current.sa_handler != SIG_IGN) {
            (void)::sigaction(signal_number, &action, nullptr);
        }
    }
    (void)::signal(SIGPIPE, SIG_IGN);
    (void)::signal(SIGXFSZ, SIG_IGN);
}

interrupts_held::interrupts_held() noexcept
{
    const sigset_t ending = ending_signals();
    ::sigprocmask(SIG_BLOCK, &ending, &found_);
}

interrupts_held::~interrupts_held()
{
    ::sigprocmask(SIG_SETMASK, &found_, nullptr);
}

bool staged_name::remove_name(native_handle by, const std::filesystem::path& leaf) noexcept
{
    return ::unlinkat(by, leaf.c_str(), 0) == 0;
}

}  // namespace halvek
