/* qm-faultfs: a FUSE file system serving one image file read-only that fails
 * reads on demand, so that a read-only loop device over it behaves like a
 * failing disk.
 *
 *   qm-faultfs IMAGE MOUNTPOINT [--bad START:LENGTH]... [--fail-after N]
 *              [--fail-flag PATH] [--count PATH] [--cached] [FUSE options]
 *
 * MOUNTPOINT/image holds IMAGE's bytes. A read returns EIO when it touches a
 * --bad byte range, when more than N reads came before it (--fail-after: a
 * device that stops answering), or once PATH exists (--fail-flag). --count
 * writes the number of reads served so far to PATH after every read. Reads
 * bypass the kernel's cache of this file (direct_io), so every read the loop
 * device makes arrives here with its own offset and length; with --cached the
 * kernel caches the file and reads ahead in it, as it does on a real disk.
 *
 * Without -f the program returns once the file system is mounted.
 */
#define FUSE_USE_VERSION 31

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define MAX_BAD 64

struct range {
    uint64_t start, length;
};

static struct {
    const char* image;
    int fd;
    struct range bad[MAX_BAD];
    int badCount;
    long long failAfter; /* -1: never */
    const char* failFlag;
    const char* countFile;
    int cached; /* --cached: the kernel may cache and read ahead in the file */
    long long reads;
} g = {.fd = -1, .failAfter = -1};

static const char kName[] = "/image";

static int fs_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    (void)fi;
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
        return 0;
    }
    if (strcmp(path, kName) != 0) return -ENOENT;
    struct stat img;
    if (fstat(g.fd, &img) != 0) return -errno;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = img.st_size;
    return 0;
}

static int fs_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t off,
                      struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
    (void)off, (void)fi, (void)flags;
    if (strcmp(path, "/") != 0) return -ENOENT;
    fill(buf, ".", NULL, 0, 0);
    fill(buf, "..", NULL, 0, 0);
    fill(buf, kName + 1, NULL, 0, 0);
    return 0;
}

static int fs_open(const char* path, struct fuse_file_info* fi) {
    if (strcmp(path, kName) != 0) return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    fi->direct_io = !g.cached;
    return 0;
}

static int Touches(uint64_t off, uint64_t len) {
    for (int i = 0; i < g.badCount; ++i) {
        const struct range* r = &g.bad[i];
        if (off < r->start + r->length && off + len > r->start) return 1;
    }
    return 0;
}

static void WriteCount(void) {
    if (!g.countFile) return;
    FILE* f = fopen(g.countFile, "w");
    if (!f) return;
    fprintf(f, "%lld\n", g.reads);
    fclose(f);
}

static int fs_read(const char* path, char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
    (void)path, (void)fi;
    const long long before = g.reads++;
    WriteCount();
    if (off < 0) return -EINVAL;
    if (g.failAfter >= 0 && before >= g.failAfter) return -EIO;
    if (g.failFlag && access(g.failFlag, F_OK) == 0) return -EIO;
    if (Touches((uint64_t)off, size)) return -EIO;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pread(g.fd, buf + done, size - done, off + (off_t)done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        if (n == 0) break;
        done += (size_t)n;
    }
    return (int)done;
}

static const struct fuse_operations kOps = {
    .getattr = fs_getattr,
    .readdir = fs_readdir,
    .open = fs_open,
    .read = fs_read,
};

static int ParseRange(const char* text, struct range* r) {
    char* end;
    errno = 0;
    r->start = strtoull(text, &end, 0);
    if (errno || *end != ':') return 0;
    r->length = strtoull(end + 1, &end, 0);
    return !errno && *end == 0 && r->length > 0 && r->start + r->length > r->start;
}

static int Usage(void) {
    fprintf(stderr,
            "usage: qm-faultfs IMAGE MOUNTPOINT [--bad START:LENGTH]... [--fail-after N]\n"
            "                  [--fail-flag PATH] [--count PATH] [--cached] [FUSE options]\n");
    return 2;
}

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    g.image = argv[1];
    /* FUSE gets the program name, the mount point, one thread, and what we do not know. */
    char** fuseArgv = calloc((size_t)argc + 4, sizeof *fuseArgv);
    if (!fuseArgv) return 1;
    int fuseArgc = 0;
    fuseArgv[fuseArgc++] = argv[0];
    fuseArgv[fuseArgc++] = argv[2];
    fuseArgv[fuseArgc++] = "-s";
    fuseArgv[fuseArgc++] = "-oro,default_permissions";
    for (int i = 3; i < argc; ++i) {
        const int more = i + 1 < argc;
        if (strcmp(argv[i], "--bad") == 0 && more) {
            if (g.badCount == MAX_BAD || !ParseRange(argv[++i], &g.bad[g.badCount++]))
                return Usage();
        } else if (strcmp(argv[i], "--fail-after") == 0 && more) {
            g.failAfter = atoll(argv[++i]);
        } else if (strcmp(argv[i], "--fail-flag") == 0 && more) {
            g.failFlag = argv[++i];
        } else if (strcmp(argv[i], "--cached") == 0) {
            g.cached = 1;
        } else if (strcmp(argv[i], "--count") == 0 && more) {
            g.countFile = argv[++i];
        } else {
            fuseArgv[fuseArgc++] = argv[i];
        }
    }
    g.fd = open(g.image, O_RDONLY | O_CLOEXEC);
    if (g.fd < 0) {
        fprintf(stderr, "qm-faultfs: %s: %s\n", g.image, strerror(errno));
        return 1;
    }
    /* Relative paths must survive the daemon's change to "/". */
    char* flag = g.failFlag ? realpath(g.failFlag, NULL) : NULL;
    if (g.failFlag && !flag && g.failFlag[0] != '/') {
        fprintf(stderr, "qm-faultfs: --fail-flag needs an absolute path\n");
        return 2;
    }
    if (flag) g.failFlag = flag;
    if (g.countFile && g.countFile[0] != '/') {
        fprintf(stderr, "qm-faultfs: --count needs an absolute path\n");
        return 2;
    }
    return fuse_main(fuseArgc, fuseArgv, &kOps, NULL);
}
