/* faultyfs: a FUSE file system that serves one disk image, "disk.img", whose reads fail
 * the way a dying disk's do. The tests of `quarrow-cli image` and the benchmark against
 * GNU ddrescue read a real file through the kernel with it, since these machines have no
 * device-mapper to build a faulty block device from.
 *
 *   faultyfs IMAGE CONFIG MOUNTPOINT
 *
 * runs in the foreground, single-threaded, until `fusermount3 -u MOUNTPOINT`. CONFIG holds
 * one rule a line (sectors of 512 bytes; '#' starts a comment):
 *
 *   bad FIRST COUNT                 every read touching these sectors fails with EIO
 *   flaky FIRST COUNT FAILURES      each of these sectors fails its first FAILURES reads
 *   slow FIRST COUNT MILLISECONDS   a read touching these sectors takes that long first
 *   disconnect_at_sector SECTOR     a read of this sector "unplugs" the disk: it and every
 *                                   later read fail
 *   disconnect_after_reads N        the same after N reads
 *   disconnect_errno ENODEV|EIO|ENXIO   what reads fail with once unplugged (ENODEV)
 *   log PATH                        one line per read: "OFFSET LENGTH RESULT" (0 or -errno)
 *
 * The file is opened with direct I/O, so every read reaches us as the reader asked for it:
 * the page cache neither widens nor hides a read.
 */
#define FUSE_USE_VERSION 31
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define SECTOR 512u
#define MAX_RULES 4096

struct rule {
  int kind; /* 'b' bad, 'f' flaky, 's' slow */
  uint64_t first, count;
  long value;     /* flaky: failures; slow: milliseconds */
  int* left;      /* flaky: failures left per sector */
};

static struct rule g_rules[MAX_RULES];
static int g_nrules;
static int g_image = -1;
static uint64_t g_size;
static uint64_t g_reads;
static uint64_t g_disconnect_sector = UINT64_MAX, g_disconnect_reads = UINT64_MAX;
static int g_disconnect_errno = ENODEV;
static int g_disconnected;
static FILE* g_log;

static int read_config(const char* path) {
  FILE* f = fopen(path, "r");
  if (!f) {
    perror(path);
    return -1;
  }
  char line[4096];
  int n = 0;
  while (fgets(line, sizeof line, f)) {
    ++n;
    char word[64], text[4000];
    unsigned long long a = 0, b = 0;
    long c = 0;
    char* hash = strchr(line, '#');
    if (hash) *hash = 0;
    if (sscanf(line, "%63s", word) != 1) continue;
    if (g_nrules >= MAX_RULES) {
      fprintf(stderr, "%s:%d: too many rules\n", path, n);
      return -1;
    }
    struct rule* r = &g_rules[g_nrules];
    if (!strcmp(word, "bad") && sscanf(line, "%*s %llu %llu", &a, &b) == 2) {
      *r = (struct rule){'b', a, b, 0, NULL};
      ++g_nrules;
    } else if (!strcmp(word, "flaky") && sscanf(line, "%*s %llu %llu %ld", &a, &b, &c) == 3 && b <= 1000000) {
      *r = (struct rule){'f', a, b, c, calloc(b ? b : 1, sizeof(int))};
      for (uint64_t i = 0; i < b; ++i) r->left[i] = (int)c;
      ++g_nrules;
    } else if (!strcmp(word, "slow") && sscanf(line, "%*s %llu %llu %ld", &a, &b, &c) == 3) {
      *r = (struct rule){'s', a, b, c, NULL};
      ++g_nrules;
    } else if (!strcmp(word, "disconnect_at_sector") && sscanf(line, "%*s %llu", &a) == 1) {
      g_disconnect_sector = a;
    } else if (!strcmp(word, "disconnect_after_reads") && sscanf(line, "%*s %llu", &a) == 1) {
      g_disconnect_reads = a;
    } else if (!strcmp(word, "disconnect_errno") && sscanf(line, "%*s %63s", text) == 1) {
      g_disconnect_errno = !strcmp(text, "EIO") ? EIO : !strcmp(text, "ENXIO") ? ENXIO : ENODEV;
    } else if (!strcmp(word, "log") && sscanf(line, "%*s %3999s", text) == 1) {
      g_log = fopen(text, "a");
      if (!g_log) {
        perror(text);
        return -1;
      }
      setvbuf(g_log, NULL, _IOLBF, 0);
    } else {
      fprintf(stderr, "%s:%d: not a rule: %s", path, n, line);
      return -1;
    }
  }
  fclose(f);
  return 0;
}

static int ff_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
  (void)fi;
  memset(st, 0, sizeof *st);
  if (!strcmp(path, "/")) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (!strcmp(path, "/disk.img")) {
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = (off_t)g_size;
    return 0;
  }
  return -ENOENT;
}

static int ff_readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t off, struct fuse_file_info* fi,
                      enum fuse_readdir_flags flags) {
  (void)off;
  (void)fi;
  (void)flags;
  if (strcmp(path, "/")) return -ENOENT;
  filler(buf, ".", NULL, 0, 0);
  filler(buf, "..", NULL, 0, 0);
  filler(buf, "disk.img", NULL, 0, 0);
  return 0;
}

static int ff_open(const char* path, struct fuse_file_info* fi) {
  if (strcmp(path, "/disk.img")) return -ENOENT;
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  fi->direct_io = 1;
  fi->keep_cache = 0;
  return 0;
}

static int overlaps(const struct rule* r, uint64_t first, uint64_t last) {
  return r->count && first < r->first + r->count && last >= r->first;
}

static int ff_read(const char* path, char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
  (void)fi;
  if (strcmp(path, "/disk.img")) return -ENOENT;
  if ((uint64_t)off >= g_size || size == 0) return 0;
  if (size > g_size - (uint64_t)off) size = (size_t)(g_size - (uint64_t)off);
  const uint64_t first = (uint64_t)off / SECTOR, last = ((uint64_t)off + size - 1) / SECTOR;
  ++g_reads;
  int result = 0;
  if (!g_disconnected && (g_reads > g_disconnect_reads || (first <= g_disconnect_sector && last >= g_disconnect_sector)))
    g_disconnected = 1;
  if (g_disconnected) {
    result = -g_disconnect_errno;
  } else {
    long sleep_ms = 0;
    for (int i = 0; i < g_nrules; ++i) {
      struct rule* r = &g_rules[i];
      if (!overlaps(r, first, last)) continue;
      if (r->kind == 'b') result = -EIO;
      if (r->kind == 's' && r->value > sleep_ms) sleep_ms = r->value;
      if (r->kind == 'f') {
        uint64_t a = first > r->first ? first : r->first;
        uint64_t b = last < r->first + r->count - 1 ? last : r->first + r->count - 1;
        for (uint64_t s = a; s <= b; ++s)
          if (r->left[s - r->first] > 0) {
            --r->left[s - r->first];
            result = -EIO;
          }
      }
    }
    if (sleep_ms > 0) {
      struct timespec ts = {sleep_ms / 1000, (sleep_ms % 1000) * 1000000L};
      nanosleep(&ts, NULL);
    }
  }
  if (result == 0) {
    size_t done = 0;
    while (done < size) {
      ssize_t n = pread(g_image, buf + done, size - done, off + (off_t)done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        result = -EIO;
        break;
      }
      done += (size_t)n;
    }
  }
  if (g_log) fprintf(g_log, "%lld %zu %d\n", (long long)off, size, result);
  return result ? result : (int)size;
}

static const struct fuse_operations g_ops = {
    .getattr = ff_getattr,
    .open = ff_open,
    .read = ff_read,
    .readdir = ff_readdir,
};

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s IMAGE CONFIG MOUNTPOINT\n", argv[0]);
    return 2;
  }
  g_image = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (g_image < 0) {
    perror(argv[1]);
    return 2;
  }
  struct stat st;
  if (fstat(g_image, &st) != 0) {
    perror(argv[1]);
    return 2;
  }
  g_size = (uint64_t)st.st_size;
  if (read_config(argv[2]) != 0) return 2;
  char* args[] = {argv[0], "-f", "-s", "-o", "ro,fsname=faultyfs,subtype=faultyfs", argv[3], NULL};
  return fuse_main(6, args, &g_ops, NULL);
}
