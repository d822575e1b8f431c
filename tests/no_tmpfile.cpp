// Loaded into the program under test (LD_PRELOAD): open() refuses O_TMPFILE as a file
// system without it does, so that the tests reach the named staged file.
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>

namespace {

using open_call = int (*)(const char*, int, ...);

int open_without_tmpfile(const char* real_name, const char* name, int flags, std::va_list rest)
{
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const auto mode = va_arg(rest, mode_t);
    return reinterpret_cast<open_call>(dlsym(RTLD_NEXT, real_name))(name, flags, mode);
}

}  // namespace

#define NO_TMPFILE(call)                                                                                               \
    extern "C" int call(const char* name, int flags, ...)                                                              \
    {                                                                                                                  \
        std::va_list rest;                                                                                             \
        va_start(rest, flags);                                                                                         \
        const int descriptor = open_without_tmpfile(#call, name, flags, rest);                                         \
        va_end(rest);                                                                                                  \
        return descriptor;                                                                                             \
    }
NO_TMPFILE(open)
NO_TMPFILE(open64)
