// Test shim (LD_PRELOAD): a disk that stops answering, without FUSE or root. While the
// file named by V9_STALL_FLAG exists, every look-up, open and read of the file named by
// V9_STALL_FILE waits, as on a network or FUSE mount whose server has gone quiet; once
// the flag goes, each call carries on as normal.
//
// And a temporary folder that fills up: with V9_TAKE_LIMIT set, positioned writes to a
// regular file (the recording's take) past that many bytes fail with ENOSPC.
//
// And a slow network share, the folder V9_SHARE_DIR: every write to a file in it takes
// V9_SHARE_WRITE_MS more and every read V9_SHARE_READ_MS more; while the file named by
// V9_SHARE_STALL exists its writes wait, as on a share whose server went quiet; and it
// has no unnamed temporary files (O_TMPFILE fails with EOPNOTSUPP), as many shares have
// none. While the file named by V9_SHARE_FREEZE exists, everything in the share waits:
// look-ups, opens, listings, reads and writes, as on a share whose server is gone.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

static const char *flag_path(void) { return getenv("V9_STALL_FLAG"); }
static const char *stall_path(void) { return getenv("V9_STALL_FILE"); }

static int stalling(void)
{
    const char *flag = flag_path();
    return flag && stall_path() && syscall(SYS_faccessat, AT_FDCWD, flag, F_OK) == 0;
}

static void hold(void)
{
    while (stalling())
        usleep(10000);
}

static int is_target_path(const char *path)
{
    const char *target = stall_path();
    return path && target && strcmp(path, target) == 0;
}

static int is_target_fd(int fd)
{
    struct stat a, b;
    const char *target = stall_path();
    if (!target || syscall(SYS_fstat, fd, &a) != 0 || syscall(SYS_newfstatat, AT_FDCWD, target, &b, 0) != 0)
        return 0;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static const char *share_dir(void)
{
    const char *dir = getenv("V9_SHARE_DIR");
    return dir && *dir ? dir : NULL;
}

static int under_share(const char *path)
{
    const char *dir = share_dir();
    const size_t n = dir ? strlen(dir) : 0;
    return dir && path && strncmp(path, dir, n) == 0 && (path[n] == '/' || path[n] == '\0');
}

// A descriptor of a regular file in the share, named or not (an unnamed one's link in
// /proc still starts with its folder).
static int in_share(int fd)
{
    if (!share_dir())
        return 0;
    struct stat st;
    if (syscall(SYS_fstat, fd, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = syscall(SYS_readlinkat, AT_FDCWD, link, path, sizeof path - 1);
    if (n <= 0)
        return 0;
    path[n] = '\0';
    return under_share(path);
}

static int frozen(void)
{
    const char *flag = getenv("V9_SHARE_FREEZE");
    return flag && share_dir() && syscall(SYS_faccessat, AT_FDCWD, flag, F_OK) == 0;
}

static void freeze_path(const char *path)
{
    while (under_share(path) && frozen())
        usleep(10000);
}

static void freeze_fd(int fd)
{
    while (frozen() && in_share(fd))
        usleep(10000);
}

static void share_delay(int fd, const char *variable)
{
    const char *ms = getenv(variable);
    if (!ms || !in_share(fd))
        return;
    usleep((useconds_t)atoi(ms) * 1000);
}

static void share_write(int fd)
{
    if (!share_dir() || !in_share(fd))
        return;
    freeze_fd(fd);
    const char *flag = getenv("V9_SHARE_STALL");
    while (flag && syscall(SYS_faccessat, AT_FDCWD, flag, F_OK) == 0)
        usleep(10000);
    share_delay(fd, "V9_SHARE_WRITE_MS");
}

ssize_t read(int fd, void *buf, size_t count)
{
    if (stalling() && is_target_fd(fd))
        hold();
    freeze_fd(fd);
    share_delay(fd, "V9_SHARE_READ_MS");
    return NEXT(read)(fd, buf, count);
}

ssize_t pread64(int fd, void *buf, size_t count, off64_t offset)
{
    if (stalling() && is_target_fd(fd))
        hold();
    share_delay(fd, "V9_SHARE_READ_MS");
    return NEXT(pread64)(fd, buf, count, offset);
}

ssize_t pread(int fd, void *buf, size_t count, off_t offset)
{
    if (stalling() && is_target_fd(fd))
        hold();
    share_delay(fd, "V9_SHARE_READ_MS");
    return NEXT(pread)(fd, buf, count, offset);
}

ssize_t write(int fd, const void *buf, size_t count)
{
    share_write(fd);
    return NEXT(write)(fd, buf, count);
}

int statx(int dirfd, const char *path, int flags, unsigned int mask, struct statx *st)
{
    if (stalling() && is_target_path(path))
        hold();
    freeze_path(path);
    return NEXT(statx)(dirfd, path, flags, mask, st);
}

int access(const char *path, int mode)
{
    freeze_path(path);
    return NEXT(access)(path, mode);
}

DIR *opendir(const char *path)
{
    freeze_path(path);
    return NEXT(opendir)(path);
}

int stat(const char *path, struct stat *st)
{
    if (stalling() && is_target_path(path))
        hold();
    freeze_path(path);
    return NEXT(stat)(path, st);
}

int lstat(const char *path, struct stat *st)
{
    if (stalling() && is_target_path(path))
        hold();
    freeze_path(path);
    return NEXT(lstat)(path, st);
}

static mode_t mode_of(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
}

// The share has no unnamed temporary files.
static int refused_tmpfile(const char *path, int flags)
{
    if ((flags & O_TMPFILE) != O_TMPFILE || !under_share(path))
        return 0;
    errno = EOPNOTSUPP;
    return 1;
}

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    if (stalling() && is_target_path(path))
        hold();
    freeze_path(path);
    if (refused_tmpfile(path, flags))
        return -1;
    return NEXT(open)(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    if (stalling() && is_target_path(path))
        hold();
    freeze_path(path);
    if (refused_tmpfile(path, flags))
        return -1;
    return NEXT(open64)(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    if (stalling() && is_target_path(path))
        hold();
    freeze_path(path);
    if (refused_tmpfile(path, flags))
        return -1;
    return NEXT(openat)(dirfd, path, flags, mode);
}

// The recording's take is the only file the program writes with pwrite (its name may be
// gone already: an unnamed temporary file).
static int is_take(int fd)
{
    struct stat st;
    return syscall(SYS_fstat, fd, &st) == 0 && S_ISREG(st.st_mode);
}

// How much of a write at offset fits under the limit; -1 with ENOSPC when none does.
static ssize_t room_for(int fd, size_t count, off64_t offset)
{
    const char *limit = getenv("V9_TAKE_LIMIT");
    if (!limit || !is_take(fd))
        return (ssize_t)count;
    const long long max = atoll(limit);
    if (offset >= max) {
        errno = ENOSPC;
        return -1;
    }
    return (ssize_t)((long long)count < max - offset ? (long long)count : max - offset);
}

ssize_t pwrite64(int fd, const void *buf, size_t count, off64_t offset)
{
    share_write(fd);
    const ssize_t room = room_for(fd, count, offset);
    if (room < 0)
        return -1;
    return NEXT(pwrite64)(fd, buf, (size_t)room, offset);
}

ssize_t pwrite(int fd, const void *buf, size_t count, off_t offset)
{
    share_write(fd);
    const ssize_t room = room_for(fd, count, offset);
    if (room < 0)
        return -1;
    return NEXT(pwrite)(fd, buf, (size_t)room, offset);
}
