// What ends the process on Windows: the console's events (Ctrl+C, Ctrl+Break, a closed
// console window), which remove every staged name first (interrupts.hpp).
#include "handles_windows.hpp"
#include "interrupts.hpp"

namespace halvek {
namespace {

// Held by the run while it changes the list of staged names, and by the console control
// handler, which runs on a thread of its own. A critical section nests, as holds must.
class staged_names_lock {
public:
    staged_names_lock() noexcept { InitializeCriticalSection(&section_); }
    staged_names_lock(const staged_names_lock&) = delete;
    staged_names_lock& operator=(const staged_names_lock&) = delete;
    staged_names_lock(staged_names_lock&&) = delete;
    staged_names_lock& operator=(staged_names_lock&&) = delete;
    ~staged_names_lock() { DeleteCriticalSection(&section_); }

    void lock() noexcept { EnterCriticalSection(&section_); }
    void unlock() noexcept { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_{};
};

// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
staged_names_lock staged_names;

BOOL WINAPI remove_staged_and_end(DWORD /*event*/)
{
    // The lock is kept: the process ends when this returns, and nothing may be staged
    // meanwhile.
    staged_names.lock();
    staged_name::remove_all();
    return FALSE;  // on to the system's own handler, which ends the process
}

}  // namespace

void remove_staged_names_on_interrupt() noexcept
{
    SetConsoleCtrlHandler(remove_staged_and_end, TRUE);
}

interrupts_held::interrupts_held() noexcept
{
    staged_names.lock();
}

interrupts_held::~interrupts_held()
{
    staged_names.unlock();
}

// Through the run's own handle where there is one: every other program that opened the file
// shared its deletion, so the mark holds, and the file goes when the last of them closes it.
// A name without a handle is removed by name, waiting out a brief hold.
bool staged_name::remove_name(native_handle by, const std::filesystem::path& leaf) noexcept
{
    return waiting_out_brief_holds([&] {
        FILE_DISPOSITION_INFO remove{.DeleteFile = TRUE};
        return by != no_handle ? SetFileInformationByHandle(by, FileDispositionInfo, &remove, sizeof remove) != 0
                               : DeleteFileW(leaf.c_str()) != 0;
    });
}

}  // namespace halvek
