/*
 * Test shim, preloaded into the program under test: maps /dev/ttyS0 ... /dev/ttyS9 to
 * pseudo-terminals that a test created, and carries the RTS and DTR lines that a pty
 * cannot. The kernel raises both on open; the modem-control ioctls switch and read them;
 * closing with HUPCL set drops them. Every change of RTS is appended to
 * $V9_SHIM_DIR/rts.log as "ttySn <0|1> <CLOCK_MONOTONIC ns>".
 *
 * $V9_SHIM_DIR/ttySn is the link to the pty. Without V9_SHIM_DIR no /dev/ttyS* opens at
 * all: on the test machines /dev/ttyS0 is the console. Fault files beside the link:
 * ttySn.gone makes every modem ioctl fail with EIO (a pulled USB adapter), ttySn.stuck
 * makes raising RTS fail, while ttySn.stall exists an open of the port waits (a
 * wedged adapter), and while ttySn.hang exists every modem ioctl waits (a USB adapter's
 * control transfer that times out only after seconds).
 *
 * Port lock files (/var/lock/LCK..name, /run/lock/LCK..name) live in $V9_SHIM_DIR too,
 * so no test ever takes or trips over the machine's own. Every open of a path under
 * /dev/, and every open that yields a terminal, is appended to $V9_SHIM_DIR/opens.log
 * as its path: a test can tell exactly which devices the program opened.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define MAX_FDS 4096
#define MAX_PORTS 10

/* The lines belong to the port, shared by every descriptor open on it, as in the kernel. */
struct port_state {
    int modem;
    int opens;
};

static struct port_state g_ports[MAX_PORTS];
static int g_fd_port[MAX_FDS]; /* -1: not a shimmed port */
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_once_t g_once = PTHREAD_ONCE_INIT;

static void init_table(void)
{
    for (int i = 0; i < MAX_FDS; ++i)
        g_fd_port[i] = -1;
}

static const char *shim_dir(void)
{
    const char *dir = getenv("V9_SHIM_DIR");
    return dir && *dir ? dir : NULL;
}

/* Port number for "/dev/ttyS<n>", or -1. */
static int port_of(const char *path)
{
    static const char prefix[] = "/dev/ttyS";
    if (!path || strncmp(path, prefix, sizeof prefix - 1) != 0)
        return -1;
    const char *digits = path + sizeof prefix - 1;
    if (*digits < '0' || *digits > '9' || digits[1] != '\0')
        return -1;
    return *digits - '0';
}

static int fault(int port, const char *what)
{
    const char *dir = shim_dir();
    char path[4096];
    struct stat st;
    snprintf(path, sizeof path, "%s/ttyS%d.%s", dir ? dir : "", port, what);
    return dir && stat(path, &st) == 0;
}

static void log_rts(int port, int high)
{
    const char *dir = shim_dir();
    if (!dir)
        return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char path[4096];
    char line[128];
    snprintf(path, sizeof path, "%s/rts.log", dir);
    const int n = snprintf(line, sizeof line, "ttyS%d %d %lld\n", port, high,
                           (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, line, (size_t)n) < 0) {
        /* nothing more a test shim can do */
    }
    syscall(SYS_close, fd);
}

static void set_modem(int port, int bits)
{
    struct port_state *s = &g_ports[port];
    const int was = (s->modem & TIOCM_RTS) != 0;
    const int now = (bits & TIOCM_RTS) != 0;
    s->modem = bits;
    if (was != now)
        log_rts(port, now);
}

static void track(int fd, int port)
{
    if (fd < 0 || fd >= MAX_FDS)
        return;
    g_fd_port[fd] = port;
    g_ports[port].opens++;
}

/* A lock file's path mapped into the shim's folder; path itself when it is none. */
static const char *lock_path(const char *path, char *mapped, size_t size)
{
    static const char *const dirs[] = {"/var/lock/LCK..", "/run/lock/LCK.."};
    const char *dir = shim_dir();
    if (!path || !dir)
        return path;
    for (size_t i = 0; i < sizeof dirs / sizeof dirs[0]; ++i) {
        const size_t n = strlen(dirs[i]);
        if (strncmp(path, dirs[i], n) == 0) {
            snprintf(mapped, size, "%s/LCK..%s", dir, path + n);
            return mapped;
        }
    }
    return path;
}

static void log_open(const char *path, int fd, int flags)
{
    const char *dir = shim_dir();
    if (!dir || !path)
        return;
    struct termios tio;
    const int device = strncmp(path, "/dev/", 5) == 0;
    const int terminal = fd >= 0 && !(flags & O_PATH) && syscall(SYS_ioctl, fd, TCGETS, &tio) == 0;
    if (!device && !terminal)
        return;
    char log[4096];
    snprintf(log, sizeof log, "%s/opens.log", dir);
    const int out = (int)syscall(SYS_openat, AT_FDCWD, log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (out < 0)
        return;
    char line[4200];
    const int n = snprintf(line, sizeof line, "%s\n", path);
    if (write(out, line, (size_t)n) < 0) {
        /* nothing more a test shim can do */
    }
    syscall(SYS_close, out);
}

typedef int (*openat_fn)(int, const char *, int, ...);

static int shim_open(int dirfd, const char *path, int flags, mode_t mode)
{
    static openat_fn real_openat;
    if (!real_openat)
        real_openat = (openat_fn)dlsym(RTLD_NEXT, "openat");
    pthread_once(&g_once, init_table);
    const int port = port_of(path);
    if (port < 0) {
        char mapped[4096];
        const int fd = real_openat(dirfd, lock_path(path, mapped, sizeof mapped), flags, mode);
        log_open(path, fd, flags);
        return fd;
    }
    const char *dir = shim_dir();
    if (!dir) {
        errno = EACCES;
        return -1;
    }
    while (fault(port, "stall"))
        usleep(10000);
    char mapped[4096];
    snprintf(mapped, sizeof mapped, "%s/ttyS%d", dir, port);
    const int fd = real_openat(AT_FDCWD, mapped, flags, mode);
    log_open(path, fd, flags);
    if (fd >= 0 && fd < MAX_FDS) {
        pthread_mutex_lock(&g_lock);
        track(fd, port);
        set_modem(port, g_ports[port].modem | TIOCM_RTS | TIOCM_DTR); /* as the kernel does on open */
        pthread_mutex_unlock(&g_lock);
    }
    return fd;
}

static mode_t mode_arg(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return shim_open(AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return shim_open(AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return shim_open(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return shim_open(dirfd, path, flags, mode);
}

int __open_2(const char *path, int flags)
{
    return shim_open(AT_FDCWD, path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
    return shim_open(AT_FDCWD, path, flags, 0);
}

typedef int (*ioctl_fn)(int, unsigned long, ...);

int ioctl(int fd, unsigned long request, ...)
{
    static ioctl_fn real_ioctl;
    if (!real_ioctl)
        real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    pthread_once(&g_once, init_table);

    const int modem_request = request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (!modem_request || fd < 0 || fd >= MAX_FDS)
        return real_ioctl(fd, request, arg);
    /* Outside the lock, as a driver waits: a second ioctl on the port waits too. */
    const int hung = g_fd_port[fd];
    while (hung >= 0 && fault(hung, "hang"))
        usleep(10000);
    pthread_mutex_lock(&g_lock);
    const int port = g_fd_port[fd];
    if (port < 0) {
        pthread_mutex_unlock(&g_lock);
        return real_ioctl(fd, request, arg);
    }
    struct port_state *s = &g_ports[port];
    int result = 0;
    const int bits = arg ? *(const int *)arg : 0;
    if (!arg) {
        errno = EFAULT;
        result = -1;
    } else if (fault(port, "gone")) {
        errno = EIO;
        result = -1;
    } else if (request == TIOCMGET) {
        *(int *)arg = s->modem;
    } else if (request == TIOCMSET) {
        set_modem(port, bits);
    } else if (request == TIOCMBIS) {
        if ((bits & TIOCM_RTS) && fault(port, "stuck")) {
            errno = EIO;
            result = -1;
        } else {
            set_modem(port, s->modem | bits);
        }
    } else {
        set_modem(port, s->modem & ~bits);
    }
    pthread_mutex_unlock(&g_lock);
    return result;
}

typedef int (*close_fn)(int);

int close(int fd)
{
    static close_fn real_close;
    if (!real_close)
        real_close = (close_fn)dlsym(RTLD_NEXT, "close");
    pthread_once(&g_once, init_table);
    if (fd >= 0 && fd < MAX_FDS) {
        pthread_mutex_lock(&g_lock);
        const int port = g_fd_port[fd];
        if (port >= 0) {
            struct termios tio;
            /* The last close of a port with HUPCL set drops the modem lines. */
            if (--g_ports[port].opens == 0 && tcgetattr(fd, &tio) == 0 && (tio.c_cflag & HUPCL))
                set_modem(port, 0);
            g_fd_port[fd] = -1;
        }
        pthread_mutex_unlock(&g_lock);
    }
    return real_close(fd);
}

static int track_dup(int fd, int copy)
{
    if (copy >= 0 && fd >= 0 && fd < MAX_FDS) {
        pthread_mutex_lock(&g_lock);
        if (g_fd_port[fd] >= 0)
            track(copy, g_fd_port[fd]);
        pthread_mutex_unlock(&g_lock);
    }
    return copy;
}

typedef int (*dup_fn)(int);
typedef int (*dup3_fn)(int, int, int);
typedef int (*fcntl_fn)(int, int, ...);

int dup(int fd)
{
    static dup_fn real_dup;
    if (!real_dup)
        real_dup = (dup_fn)dlsym(RTLD_NEXT, "dup");
    pthread_once(&g_once, init_table);
    return track_dup(fd, real_dup(fd));
}

int dup3(int fd, int target, int flags)
{
    static dup3_fn real_dup3;
    if (!real_dup3)
        real_dup3 = (dup3_fn)dlsym(RTLD_NEXT, "dup3");
    pthread_once(&g_once, init_table);
    return track_dup(fd, real_dup3(fd, target, flags));
}

int fcntl(int fd, int cmd, ...)
{
    static fcntl_fn real_fcntl;
    if (!real_fcntl)
        real_fcntl = (fcntl_fn)dlsym(RTLD_NEXT, "fcntl");
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    pthread_once(&g_once, init_table);
    const int result = real_fcntl(fd, cmd, arg);
    if (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC)
        track_dup(fd, result);
    return result;
}

int fcntl64(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return fcntl(fd, cmd, arg);
}

/* The lock files' other ways in: looked at, tested and removed by name. */
#define REAL(name) static __typeof__(&name) real_##name; if (!real_##name) real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

int unlink(const char *path)
{
    REAL(unlink);
    char mapped[4096];
    return real_unlink(lock_path(path, mapped, sizeof mapped));
}

int unlinkat(int dirfd, const char *path, int flags)
{
    REAL(unlinkat);
    char mapped[4096];
    return real_unlinkat(dirfd, lock_path(path, mapped, sizeof mapped), flags);
}

int stat(const char *path, struct stat *st)
{
    REAL(stat);
    char mapped[4096];
    return real_stat(lock_path(path, mapped, sizeof mapped), st);
}

int lstat(const char *path, struct stat *st)
{
    REAL(lstat);
    char mapped[4096];
    return real_lstat(lock_path(path, mapped, sizeof mapped), st);
}

int fstatat(int dirfd, const char *path, struct stat *st, int flags)
{
    REAL(fstatat);
    char mapped[4096];
    return real_fstatat(dirfd, lock_path(path, mapped, sizeof mapped), st, flags);
}

int statx(int dirfd, const char *path, int flags, unsigned int mask, struct statx *st)
{
    REAL(statx);
    char mapped[4096];
    return real_statx(dirfd, lock_path(path, mapped, sizeof mapped), flags, mask, st);
}

int access(const char *path, int mode)
{
    REAL(access);
    char mapped[4096];
    return real_access(lock_path(path, mapped, sizeof mapped), mode);
}
