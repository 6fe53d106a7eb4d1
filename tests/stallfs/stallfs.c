/*
 * Test file system (FUSE): a read-only mirror of a folder whose server can go quiet.
 * While the flag file exists, every request waits unanswered, as on an sshfs or a hard
 * NFS mount whose server is gone. A request the server has already taken is waited out
 * by the kernel even past SIGKILL: the reading thread sits in uninterruptible sleep, and
 * its process cannot end, exactly what a stalled share does to a program.
 *
 * Usage: v9stallfs BACKING FLAG MOUNTPOINT  (runs in the foreground until unmounted)
 */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE
#include <fuse.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char *g_backing;
static const char *g_flag;

static void wait_while_quiet(void)
{
    struct stat st;
    while (stat(g_flag, &st) == 0)
        usleep(10000);
}

static void backing_path(char *out, size_t size, const char *path)
{
    snprintf(out, size, "%s%s", g_backing, path);
}

static int fs_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
    (void)fi;
    wait_while_quiet();
    char real[PATH_MAX];
    backing_path(real, sizeof real, path);
    return lstat(real, st) == 0 ? 0 : -errno;
}

static int fs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info *fi,
                      enum fuse_readdir_flags flags)
{
    (void)offset;
    (void)fi;
    (void)flags;
    wait_while_quiet();
    char real[PATH_MAX];
    backing_path(real, sizeof real, path);
    DIR *dir = opendir(real);
    if (!dir)
        return -errno;
    for (struct dirent *entry; (entry = readdir(dir));)
        fill(buf, entry->d_name, NULL, 0, 0);
    closedir(dir);
    return 0;
}

static int fs_open(const char *path, struct fuse_file_info *fi)
{
    wait_while_quiet();
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    char real[PATH_MAX];
    backing_path(real, sizeof real, path);
    const int fd = open(real, O_RDONLY);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    /* Every read goes to the server, none is served from the page cache. */
    fi->direct_io = 1;
    return 0;
}

static int fs_read(const char *path, char *buf, size_t size, off_t offset, struct fuse_file_info *fi)
{
    (void)path;
    wait_while_quiet();
    const ssize_t got = pread((int)fi->fh, buf, size, offset);
    return got < 0 ? -errno : (int)got;
}

static int fs_release(const char *path, struct fuse_file_info *fi)
{
    (void)path;
    close((int)fi->fh);
    return 0;
}

static const struct fuse_operations g_operations = {
    .getattr = fs_getattr,
    .readdir = fs_readdir,
    .open = fs_open,
    .read = fs_read,
    .release = fs_release,
};

int main(int argc, char *argv[])
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s BACKING FLAG MOUNTPOINT\n", argv[0]);
        return 2;
    }
    g_backing = argv[1];
    g_flag = argv[2];
    char *fuse_argv[] = {argv[0], "-f", "-s", "-o", "ro,default_permissions", argv[3], NULL};
    return fuse_main(6, fuse_argv, &g_operations, NULL);
}
