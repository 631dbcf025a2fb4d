/* Failure points for the calls that libfiu's POSIX preload does not wrap and that the operations
 * make: the kernel's copy, the rename that refuses to replace, the second name of a file and the
 * lock of a temporary file. A point that fails sets errno to its failinfo (EIO when none is
 * given) and returns -1, as the call itself would. */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fiu.h>
#include <stdint.h>
#include <sys/file.h>
#include <unistd.h>

/* Calls made by libfiu itself, or by the real function, are not counted twice. */
static thread_local int inside;

static int failing(const char *point)
{
    if (inside)
        return 0;
    inside = 1;
    const int fail = fiu_fail(point);
    const intptr_t info = fail ? reinterpret_cast<intptr_t>(fiu_failinfo()) : 0;
    inside = 0;
    if (fail)
        errno = info ? int(info) : EIO;
    return fail;
}

#define WRAP(type, name, point, params, ...) \
    extern "C" type name params \
    { \
        static auto *real = reinterpret_cast<__typeof__(name) *>(dlsym(RTLD_NEXT, #name)); \
        return failing(point) ? -1 : real(__VA_ARGS__); \
    }

WRAP(ssize_t, copy_file_range, "linux/io/copy_file_range",
     (int in, off64_t *inOffset, int out, off64_t *outOffset, size_t length, unsigned int flags),
     in, inOffset, out, outOffset, length, flags)
WRAP(int, renameat2, "linux/io/renameat2", (int fromDir, const char *from, int toDir, const char *to, unsigned int flags),
     fromDir, from, toDir, to, flags)
WRAP(int, link, "posix/io/dir/link", (const char *from, const char *to), from, to)
WRAP(int, flock, "posix/io/flock", (int fd, int operation), fd, operation)
