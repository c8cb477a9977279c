/* Preloaded into TAVO_L0 by the crash tests: counts the writes into files of
 * the product tree (any path with "/KITE-" but not "/isp/") and, at the
 * KILL_AT_WRITE-th, writes half of its bytes and kills the process with
 * SIGKILL, as an operator's kill or a scheduler's preemption would. It names
 * the file it killed in on standard error. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static long writes_seen;

static int is_product_file(int fd, char* path, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, size - 1);
    if (length <= 0) return 0;
    path[length] = '\0';
    return strstr(path, "/KITE-") != NULL && strstr(path, "/isp/") == NULL;
}

/* True when this write is the one to die in. */
static int kill_now(int fd, char* path, size_t size) {
    const char* text = getenv("KILL_AT_WRITE");
    if (text == NULL || !is_product_file(fd, path, size)) return 0;
    return ++writes_seen == atol(text);
}

static void die(const char* path) {
    static const char kTag[] = "killed in write to ";
    ssize_t ignored = write(2, kTag, sizeof kTag - 1);
    ignored = write(2, path, strlen(path));
    ignored = write(2, "\n", 1);
    (void)ignored;
    raise(SIGKILL);
}

ssize_t write(int fd, const void* data, size_t count) {
    static ssize_t (*real_write)(int, const void*, size_t);
    if (real_write == NULL) real_write = (ssize_t (*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    char path[4096];
    if (fd > 2 && kill_now(fd, path, sizeof path)) {
        real_write(fd, data, count / 2);
        die(path);
    }
    return real_write(fd, data, count);
}

size_t fwrite(const void* data, size_t item_size, size_t items, FILE* stream) {
    static size_t (*real_fwrite)(const void*, size_t, size_t, FILE*);
    if (real_fwrite == NULL) real_fwrite = (size_t (*)(const void*, size_t, size_t, FILE*))dlsym(RTLD_NEXT, "fwrite");
    char path[4096];
    if (kill_now(fileno(stream), path, sizeof path)) {
        fflush(stream);
        real_fwrite(data, 1, item_size * items / 2, stream);
        fflush(stream);
        die(path);
    }
    return real_fwrite(data, item_size, items, stream);
}

ssize_t pwrite(int fd, const void* data, size_t count, off_t offset) {
    static ssize_t (*real_pwrite)(int, const void*, size_t, off_t);
    if (real_pwrite == NULL) real_pwrite = (ssize_t (*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
    char path[4096];
    if (fd > 2 && kill_now(fd, path, sizeof path)) {
        real_pwrite(fd, data, count / 2, offset);
        die(path);
    }
    return real_pwrite(fd, data, count, offset);
}
