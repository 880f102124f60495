/* LD_PRELOAD shim for one diagnostic row of the bench: fsync, fdatasync and
 * syncfs return at once, so a run shows what its writes cost without the
 * flushes. */
int fsync(int fd) {
    (void)fd;
    return 0;
}
int fdatasync(int fd) {
    (void)fd;
    return 0;
}
int syncfs(int fd) {
    (void)fd;
    return 0;
}
