/* A preload library that makes the Nth call of one C-library function fail.
 *
 *   FAULT_FUNCTION  name of the function (open, write, rename, ...)
 *   FAULT_CALL      which call fails, counting from 1 (0: none, just count)
 *   FAULT_ERRNO     the errno the failing call sets
 *   FAULT_REPORT    file that receives the number of calls seen, at exit
 *
 * The variables and LD_PRELOAD are removed from the environment at start,
 * so programs that the process starts run without faults.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char target[64];
static long fail_at;
static int fail_errno = EIO;
static long calls;
static char report[4096];

__attribute__((constructor)) static void fault_init(void)
{
    const char* value = getenv("FAULT_FUNCTION");
    if (value)
        snprintf(target, sizeof target, "%s", value);
    value = getenv("FAULT_CALL");
    fail_at = value ? atol(value) : 0;
    value = getenv("FAULT_ERRNO");
    if (value)
        fail_errno = atoi(value);
    value = getenv("FAULT_REPORT");
    if (value)
        snprintf(report, sizeof report, "%s", value);
    unsetenv("FAULT_FUNCTION");
    unsetenv("FAULT_CALL");
    unsetenv("FAULT_ERRNO");
    unsetenv("FAULT_REPORT");
    unsetenv("LD_PRELOAD");
}

__attribute__((destructor)) static void fault_report(void)
{
    if (!report[0])
        return;
    FILE* out = fopen(report, "w");
    if (out) {
        fprintf(out, "%ld\n", calls);
        fclose(out);
    }
}

/* True when this call of the named function is the one to fail. */
static int inject(const char* name)
{
    if (strcmp(name, target) != 0)
        return 0;
    ++calls;
    if (calls != fail_at)
        return 0;
    errno = fail_errno;
    return 1;
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

#define OPEN_WRAPPER(name, ...)                                  \
    {                                                            \
        mode_t mode = 0;                                         \
        if (flags & (O_CREAT | O_TMPFILE)) {                     \
            va_list args;                                        \
            va_start(args, flags);                               \
            mode = va_arg(args, mode_t);                         \
            va_end(args);                                        \
        }                                                        \
        if (inject("open"))                                      \
            return -1;                                           \
        return NEXT(name)(__VA_ARGS__, flags, mode);             \
    }

int open(const char* path, int flags, ...) OPEN_WRAPPER(open, path)
int open64(const char* path, int flags, ...) OPEN_WRAPPER(open64, path)
int openat(int dir, const char* path, int flags, ...) OPEN_WRAPPER(openat, dir, path)
int openat64(int dir, const char* path, int flags, ...) OPEN_WRAPPER(openat64, dir, path)

ssize_t write(int fd, const void* data, size_t size)
{
    return inject("write") ? -1 : NEXT(write)(fd, data, size);
}

int close(int fd)
{
    if (inject("close")) {
        NEXT(close)(fd); /* like a real failing close, the descriptor is gone */
        return -1;
    }
    return NEXT(close)(fd);
}

int rename(const char* from, const char* to)
{
    return inject("rename") ? -1 : NEXT(rename)(from, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to)
{
    return inject("rename") ? -1 : NEXT(renameat)(from_dir, from, to_dir, to);
}

int mkdir(const char* path, mode_t mode)
{
    return inject("mkdir") ? -1 : NEXT(mkdir)(path, mode);
}

int mkdirat(int dir, const char* path, mode_t mode)
{
    return inject("mkdir") ? -1 : NEXT(mkdirat)(dir, path, mode);
}

int unlink(const char* path)
{
    return inject("unlink") ? -1 : NEXT(unlink)(path);
}

int unlinkat(int dir, const char* path, int flags)
{
    return inject("unlink") ? -1 : NEXT(unlinkat)(dir, path, flags);
}

int rmdir(const char* path)
{
    return inject("unlink") ? -1 : NEXT(rmdir)(path);
}

int remove(const char* path)
{
    return inject("unlink") ? -1 : NEXT(remove)(path);
}

int fsync(int fd)
{
    return inject("fsync") ? -1 : NEXT(fsync)(fd);
}

int syncfs(int fd)
{
    return inject("fsync") ? -1 : NEXT(syncfs)(fd);
}
