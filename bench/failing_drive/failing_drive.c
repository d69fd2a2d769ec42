// A failing drive to benchmark rescues on: a read-only FUSE file system serving one file whose
// bytes come from a backing image, where every read touching a listed bad sector waits (a drive
// retrying internally before it gives up) and then fails with EIO. Every read request is logged as
// "offset length ok|fail", one line each, so a benchmark can count failed reads, total reads and
// how often each sector was read.
//
//   failing_drive MOUNTPOINT -o image=PATH[,bad=FILE,delay=MS,log=FILE,name=NAME] [FUSE options]
//
// bad=FILE holds "first count" lines in 512-byte sectors ('#' starts a comment); delay=MS is the
// wait before a failed read (default 0); name= is the served file's name (default "disk"). The file
// is served with direct_io: no page cache and no read-ahead between a tool and this drive, so each
// read a tool issues arrives here with its own offset and length. Requests are served one at a
// time, as a drive would, so the log is in the order the reads were done.
//
// Build: gcc -O2 -Wall -o failing_drive failing_drive.c $(pkg-config --cflags --libs fuse3)

#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <inttypes.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum { kSectorSize = 512 };

struct options {
  const char* image;
  const char* bad;
  const char* log;
  const char* name;
  int delay_ms;
  int show_help;
};

// Bad sectors as sorted, merged half-open ranges [first, end).
struct range {
  int64_t first;
  int64_t end;
};

static struct options opts;
static int image_fd = -1;
static int log_fd = -1;
static int64_t image_bytes;
static char served_path[256];
static struct range* bad_ranges;
static size_t bad_count;
static pthread_mutex_t drive_lock = PTHREAD_MUTEX_INITIALIZER;

#define OPTION(spec, field) \
  { spec, offsetof(struct options, field), 1 }
static const struct fuse_opt option_spec[] = {OPTION("image=%s", image),    OPTION("bad=%s", bad),
                                              OPTION("log=%s", log),        OPTION("name=%s", name),
                                              OPTION("delay=%d", delay_ms), OPTION("-h", show_help),
                                              OPTION("--help", show_help),  FUSE_OPT_END};

static int compare_ranges(const void* a, const void* b) {
  const struct range* x = a;
  const struct range* y = b;
  return (x->first > y->first) - (x->first < y->first);
}

static int load_bad_ranges(const char* path) {
  FILE* f = fopen(path, "r");
  if (!f) {
    fprintf(stderr, "failing_drive: cannot open %s: %s\n", path, strerror(errno));
    return -1;
  }
  size_t capacity = 0;
  char line[256];
  int line_number = 0;
  while (fgets(line, sizeof line, f)) {
    ++line_number;
    char* hash = strchr(line, '#');
    if (hash) *hash = '\0';
    int64_t first, count;
    char extra;
    int fields = sscanf(line, "%" SCNd64 " %" SCNd64 " %c", &first, &count, &extra);
    if (fields <= 0) continue;  // blank or comment
    if (fields != 2 || first < 0 || count <= 0 || first > INT64_MAX / kSectorSize - count) {
      fprintf(stderr, "failing_drive: %s:%d: expected \"first count\" in sectors\n", path,
              line_number);
      fclose(f);
      return -1;
    }
    if (bad_count == capacity) {
      capacity = capacity ? capacity * 2 : 64;
      struct range* grown = realloc(bad_ranges, capacity * sizeof *grown);
      if (!grown) {
        fclose(f);
        return -1;
      }
      bad_ranges = grown;
    }
    bad_ranges[bad_count].first = first;
    bad_ranges[bad_count].end = first + count;
    ++bad_count;
  }
  fclose(f);
  if (bad_count == 0) return 0;
  qsort(bad_ranges, bad_count, sizeof *bad_ranges, compare_ranges);
  size_t merged = 0;
  for (size_t i = 1; i < bad_count; ++i) {
    if (bad_ranges[i].first <= bad_ranges[merged].end) {
      if (bad_ranges[i].end > bad_ranges[merged].end) bad_ranges[merged].end = bad_ranges[i].end;
    } else {
      bad_ranges[++merged] = bad_ranges[i];
    }
  }
  bad_count = merged + 1;
  return 0;
}

// True when a bad sector lies in [first, end).
static int touches_bad(int64_t first, int64_t end) {
  size_t lo = 0, hi = bad_count;
  while (lo < hi) {  // first range ending after `first`
    size_t mid = lo + (hi - lo) / 2;
    if (bad_ranges[mid].end <= first)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo < bad_count && bad_ranges[lo].first < end;
}

static void log_read(int64_t offset, size_t length, int ok) {
  if (log_fd < 0) return;
  char line[80];
  int n = snprintf(line, sizeof line, "%" PRId64 " %zu %s\n", offset, length, ok ? "ok" : "fail");
  // One write per line on an O_APPEND descriptor: whole lines, in order, readable while mounted,
  // and the benchmark may truncate the file between runs.
  if (n > 0 && write(log_fd, line, (size_t)n) != n) {
    // Nothing sensible to do: the read itself is still served.
  }
}

static void* drive_init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
  (void)conn;
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  cfg->attr_timeout = 3600;
  cfg->entry_timeout = 3600;
  return NULL;
}

static int drive_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
  (void)fi;
  memset(st, 0, sizeof *st);
  if (strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
    return 0;
  }
  if (strcmp(path, served_path) == 0) {
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = image_bytes;
    st->st_blksize = kSectorSize;
    st->st_blocks = (image_bytes + 511) / 512;
    return 0;
  }
  return -ENOENT;
}

static int drive_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t offset,
                         struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
  (void)offset;
  (void)fi;
  (void)flags;
  if (strcmp(path, "/") != 0) return -ENOENT;
  fill(buf, ".", NULL, 0, 0);
  fill(buf, "..", NULL, 0, 0);
  fill(buf, served_path + 1, NULL, 0, 0);
  return 0;
}

static int drive_open(const char* path, struct fuse_file_info* fi) {
  if (strcmp(path, served_path) != 0) return -ENOENT;
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  fi->direct_io = 1;
  fi->keep_cache = 0;
  return 0;
}

static int drive_read(const char* path, char* buf, size_t size, off_t offset,
                      struct fuse_file_info* fi) {
  (void)path;
  (void)fi;
  if (offset < 0) return -EINVAL;
  if (offset >= image_bytes || size == 0) return 0;
  if ((int64_t)size > image_bytes - offset) size = (size_t)(image_bytes - offset);
  int64_t first = offset / kSectorSize;
  int64_t end = (offset + (int64_t)size + kSectorSize - 1) / kSectorSize;

  pthread_mutex_lock(&drive_lock);
  int result;
  if (touches_bad(first, end)) {
    if (opts.delay_ms > 0) {
      struct timespec wait = {opts.delay_ms / 1000, (long)(opts.delay_ms % 1000) * 1000000L};
      while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
      }
    }
    log_read(offset, size, 0);
    result = -EIO;
  } else {
    size_t done = 0;
    result = 0;
    while (done < size) {
      ssize_t n = pread(image_fd, buf + done, size - done, offset + (off_t)done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        result = -errno;
        break;
      }
      if (n == 0) break;
      done += (size_t)n;
    }
    log_read(offset, size, result == 0);
    if (result == 0) result = (int)done;
  }
  pthread_mutex_unlock(&drive_lock);
  return result;
}

static const struct fuse_operations drive_operations = {
    .init = drive_init,
    .getattr = drive_getattr,
    .readdir = drive_readdir,
    .open = drive_open,
    .read = drive_read,
};

int main(int argc, char* argv[]) {
  struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
  opts.name = strdup("disk");
  if (fuse_opt_parse(&args, &opts, option_spec, NULL) == -1) return 1;
  if (opts.show_help) {
    printf("usage: %s MOUNTPOINT -o image=PATH[,bad=FILE][,delay=MS][,log=FILE][,name=NAME]\n\n",
           argv[0]);
    fuse_opt_add_arg(&args, "--help");
    args.argv[0][0] = '\0';
    return fuse_main(args.argc, args.argv, &drive_operations, NULL);
  }
  if (!opts.image) {
    fprintf(stderr, "failing_drive: image=PATH is required\n");
    return 1;
  }
  if (strchr(opts.name, '/') || strlen(opts.name) + 2 > sizeof served_path || !*opts.name) {
    fprintf(stderr, "failing_drive: bad name %s\n", opts.name);
    return 1;
  }
  snprintf(served_path, sizeof served_path, "/%s", opts.name);
  if (opts.delay_ms < 0) opts.delay_ms = 0;
  // Paths are opened before fuse_main, which may change the working directory when it daemonizes.
  image_fd = open(opts.image, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (image_fd < 0 || fstat(image_fd, &st) != 0) {
    fprintf(stderr, "failing_drive: cannot open %s: %s\n", opts.image, strerror(errno));
    return 1;
  }
  image_bytes = st.st_size;
  if (opts.bad && load_bad_ranges(opts.bad) != 0) return 1;
  if (opts.log) {
    log_fd = open(opts.log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) {
      fprintf(stderr, "failing_drive: cannot open %s: %s\n", opts.log, strerror(errno));
      return 1;
    }
  }
  fuse_opt_add_arg(&args, "-oro");
  int status = fuse_main(args.argc, args.argv, &drive_operations, NULL);
  fuse_opt_free_args(&args);
  free(bad_ranges);
  return status;
}
