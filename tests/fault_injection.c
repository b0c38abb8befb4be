/* A preload library that makes the Nth call of one C-library function fail.
 *
 *   FAULT_FUNCTION  name of the function (open, write, rename, ...)
 *   FAULT_CALL      which call fails, counting from 1 (0: none, just count)
 *   FAULT_ERRNO     the errno the failing call sets
 *   FAULT_REPORT    file that receives the number of calls seen, at exit
 *   FAULT_TRACE     file that receives a line per call that creates, renames
 *                   or removes a name, or flushes: "create PATH", "mkdir
 *                   PATH", "rename FROM TO", "unlink PATH", "fsync PATH",
 *                   "syncfs PATH", with absolute paths
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
#include <limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static char target[64];
static long fail_at;
static int fail_errno = EIO;
static long calls;
static char report[4096];
static int trace_fd = -1;

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
    value = getenv("FAULT_TRACE");
    if (value)
        trace_fd = (int)syscall(SYS_openat, AT_FDCWD, value, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    unsetenv("FAULT_REPORT");
    unsetenv("FAULT_TRACE");
    unsetenv("LD_PRELOAD");
}

/* The absolute path of name relative to dir (a descriptor or AT_FDCWD),
 * or of the descriptor itself when name is null. */
static void absolute_path(int dir, const char* name, char* out, size_t size)
{
    char base[PATH_MAX] = "";
    if (name && name[0] == '/') {
        snprintf(out, size, "%s", name);
        return;
    }
    if (dir == AT_FDCWD) {
        if (!getcwd(base, sizeof base))
            base[0] = '\0';
    } else {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", dir);
        const ssize_t got = readlink(link, base, sizeof base - 1);
        base[got > 0 ? got : 0] = '\0';
    }
    if (name)
        snprintf(out, size, "%s/%s", base, name);
    else
        snprintf(out, size, "%s", base);
}

/* One line per call, written whole with one system call, so that threads'
 * lines never interleave; errno is left as the call left it. */
static void trace(const char* call, int dir, const char* name, int dir2, const char* name2)
{
    if (trace_fd < 0)
        return;
    const int saved = errno;
    char first[PATH_MAX], second[PATH_MAX] = "", line[3 * PATH_MAX];
    absolute_path(dir, name, first, sizeof first);
    if (name2)
        absolute_path(dir2, name2, second, sizeof second);
    const int length = snprintf(line, sizeof line, "%s %s%s%s\n", call, first, name2 ? " " : "", second);
    if (length > 0)
        syscall(SYS_write, trace_fd, line, (size_t)length < sizeof line ? (size_t)length : sizeof line - 1);
    errno = saved;
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

#define OPEN_WRAPPER(name, dir, ...)                             \
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
        const int fd = NEXT(name)(__VA_ARGS__, flags, mode);     \
        if (fd >= 0 && (flags & O_CREAT))                        \
            trace("create", dir, path, 0, NULL);                 \
        return fd;                                               \
    }

int open(const char* path, int flags, ...) OPEN_WRAPPER(open, AT_FDCWD, path)
int open64(const char* path, int flags, ...) OPEN_WRAPPER(open64, AT_FDCWD, path)
int openat(int dir, const char* path, int flags, ...) OPEN_WRAPPER(openat, dir, dir, path)
int openat64(int dir, const char* path, int flags, ...) OPEN_WRAPPER(openat64, dir, dir, path)

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

/* Traced once done, so that the line follows what it reports. */
#define TRACED(result, ...)            \
    do {                               \
        if ((result) == 0)             \
            trace(__VA_ARGS__);        \
        return (result);               \
    } while (0)

int rename(const char* from, const char* to)
{
    if (inject("rename"))
        return -1;
    const int result = NEXT(rename)(from, to);
    TRACED(result, "rename", AT_FDCWD, from, AT_FDCWD, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to)
{
    if (inject("rename"))
        return -1;
    const int result = NEXT(renameat)(from_dir, from, to_dir, to);
    TRACED(result, "rename", from_dir, from, to_dir, to);
}

int mkdir(const char* path, mode_t mode)
{
    if (inject("mkdir"))
        return -1;
    const int result = NEXT(mkdir)(path, mode);
    TRACED(result, "mkdir", AT_FDCWD, path, 0, NULL);
}

int mkdirat(int dir, const char* path, mode_t mode)
{
    if (inject("mkdir"))
        return -1;
    const int result = NEXT(mkdirat)(dir, path, mode);
    TRACED(result, "mkdir", dir, path, 0, NULL);
}

int unlink(const char* path)
{
    if (inject("unlink"))
        return -1;
    const int result = NEXT(unlink)(path);
    TRACED(result, "unlink", AT_FDCWD, path, 0, NULL);
}

int unlinkat(int dir, const char* path, int flags)
{
    if (inject("unlink"))
        return -1;
    const int result = NEXT(unlinkat)(dir, path, flags);
    TRACED(result, "unlink", dir, path, 0, NULL);
}

int rmdir(const char* path)
{
    if (inject("unlink"))
        return -1;
    const int result = NEXT(rmdir)(path);
    TRACED(result, "unlink", AT_FDCWD, path, 0, NULL);
}

int remove(const char* path)
{
    if (inject("unlink"))
        return -1;
    const int result = NEXT(remove)(path);
    TRACED(result, "unlink", AT_FDCWD, path, 0, NULL);
}

int fsync(int fd)
{
    if (inject("fsync"))
        return -1;
    const int result = NEXT(fsync)(fd);
    TRACED(result, "fsync", fd, NULL, 0, NULL);
}

int syncfs(int fd)
{
    if (inject("fsync"))
        return -1;
    const int result = NEXT(syncfs)(fd);
    TRACED(result, "syncfs", fd, NULL, 0, NULL);
}
