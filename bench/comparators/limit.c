/* The limit: per path, the system calls that crenly's create_file makes
 * through pathlib, and the same console line, with nothing else.
 *
 *   limit PATH...
 *
 * For each PATH (relative, with a parent directory): mkdir of the parent
 * (with stat when it exists), stat of the path (the directory test),
 * utimensat, or open(O_CREAT)/close when that fails, stat of the path again
 * (the regular-file test), getcwd, and the line
 * '✓ File created: "<cwd>/<PATH>"' on standard output (fully buffered).
 * Prints the seconds per path of that loop on standard error.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static int create(const char *path) {
    char parent[PATH_MAX];
    const char *slash = strrchr(path, '/');
    if (slash == NULL) {
        strcpy(parent, ".");
    } else {
        size_t n = (size_t)(slash - path);
        memcpy(parent, path, n);
        parent[n] = '\0';
    }
    struct stat st;
    if (mkdir(parent, 0777) != 0) {
        if (errno == ENOENT || stat(parent, &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    }
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return -1;
    if (utimensat(AT_FDCWD, path, NULL, 0) != 0) {
        int fd = open(path, O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0 || close(fd) != 0) return -1;
    }
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == NULL) return -1;
    printf("\xe2\x9c\x93 File created: \"%s/%s\"\n", cwd, path);
    return 0;
}

int main(int argc, char **argv) {
    static char buffer[8192];
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    int failed = 0;
    double start = now();
    for (int i = 1; i < argc; ++i) {
        if (create(argv[i]) != 0) ++failed;
    }
    fflush(stdout);
    double seconds = now() - start;
    fprintf(stderr, "%.9g\n", argc > 1 ? seconds / (argc - 1) : 0.0);
    return failed != 0;
}
