/* Failure points for the calls that libfiu's POSIX preload does not wrap and that the operations
 * make: the kernel's copy, the rename that refuses to replace, the second name of a file and the
 * lock of a temporary file. Loaded beside fiu_posix_preload.so; a point that fails sets errno to
 * its failinfo (EIO when none is given) and returns -1, as the call itself would. */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fiu.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

extern "C" {

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

#define REAL(name) \
    static __typeof__(name) *real; \
    if (!real) \
        real = reinterpret_cast<__typeof__(name) *>(dlsym(RTLD_NEXT, #name))

ssize_t copy_file_range(int in, off64_t *inOffset, int out, off64_t *outOffset, size_t length, unsigned int flags)
{
    REAL(copy_file_range);
    if (failing("linux/io/copy_file_range"))
        return -1;
    return real(in, inOffset, out, outOffset, length, flags);
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags)
{
    REAL(renameat2);
    if (failing("linux/io/renameat2"))
        return -1;
    return real(fromDir, from, toDir, to, flags);
}

int link(const char *from, const char *to)
{
    REAL(link);
    if (failing("posix/io/dir/link"))
        return -1;
    return real(from, to);
}

int flock(int fd, int operation)
{
    REAL(flock);
    if (failing("posix/io/flock"))
        return -1;
    return real(fd, operation);
}

} // extern "C"
