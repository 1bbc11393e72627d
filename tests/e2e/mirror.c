// Mirrors a folder through FUSE, with attributes cached for a minute, as
// network file systems cache them: a file that grows behind the mirror keeps
// its old size there. Usage: mirror FOLDER MOUNTPOINT (in the foreground).
// Built by the suite against libfuse3.
#define FUSE_USE_VERSION 31
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static char root[PATH_MAX];

// The path under FOLDER of a path under the mount.
static const char* real(const char* path) {
  static char joined[2 * PATH_MAX];
  snprintf(joined, sizeof joined, "%s%s", root, path);
  return joined;
}

static int result(int value) { return value < 0 ? -errno : value; }

static void* start(struct fuse_conn_info* connection, struct fuse_config* config) {
  (void)connection;
  config->attr_timeout = 60;
  config->entry_timeout = 60;
  return NULL;
}

static int get_attributes(const char* path, struct stat* status, struct fuse_file_info* file) {
  (void)file;
  return result(lstat(real(path), status));
}

static int read_folder(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info* file,
                       enum fuse_readdir_flags flags) {
  (void)offset, (void)file, (void)flags;
  DIR* folder = opendir(real(path));
  if (folder == NULL) return -errno;
  for (struct dirent* entry; (entry = readdir(folder)) != NULL;) fill(buffer, entry->d_name, NULL, 0, 0);
  closedir(folder);
  return 0;
}

static int open_file(const char* path, struct fuse_file_info* file) {
  const int fd = open(real(path), file->flags);
  file->fh = (uint64_t)fd;
  return fd < 0 ? -errno : 0;
}

static int create_file(const char* path, mode_t mode, struct fuse_file_info* file) {
  const int fd = open(real(path), file->flags | O_CREAT, mode);
  file->fh = (uint64_t)fd;
  return fd < 0 ? -errno : 0;
}

static int read_file(const char* path, char* buffer, size_t size, off_t offset, struct fuse_file_info* file) {
  (void)path;
  return result((int)pread((int)file->fh, buffer, size, offset));
}

static int write_file(const char* path, const char* buffer, size_t size, off_t offset, struct fuse_file_info* file) {
  (void)path;
  return result((int)pwrite((int)file->fh, buffer, size, offset));
}

static int cut(const char* path, off_t length, struct fuse_file_info* file) {
  return result(file != NULL ? ftruncate((int)file->fh, length) : truncate(real(path), length));
}

static int release(const char* path, struct fuse_file_info* file) {
  (void)path;
  return result(close((int)file->fh));
}

int main(int argc, char* argv[]) {
  if (argc != 3 || realpath(argv[1], root) == NULL) {
    fprintf(stderr, "usage: mirror FOLDER MOUNTPOINT\n");
    return 2;
  }
  static const struct fuse_operations operations = {
      .getattr = get_attributes,
      .open = open_file,
      .read = read_file,
      .write = write_file,
      .release = release,
      .readdir = read_folder,
      .init = start,
      .create = create_file,
      .truncate = cut,
  };
  char* fuse_argv[] = {argv[0], "-f", "-s", argv[2], NULL};
  return fuse_main(4, fuse_argv, &operations, NULL);
}
