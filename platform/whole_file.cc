#include "platform/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace velqor::platform {

WholeFileStatus ReadWholeFile(const std::string& path, std::string* bytes, int* error) {
  int scratch = 0;
  if (error == nullptr) error = &scratch;
  *error = 0;
  // Non-blocking, so that opening a pipe does not wait for a writer; a regular file reads
  // the same either way.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = errno;
    return WholeFileStatus::kOpenFailed;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = errno;
    close(fd);
    return WholeFileStatus::kReadFailed;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return WholeFileStatus::kNotRegular;
  }
  std::string data;
  char buffer[16384];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = errno;
      close(fd);
      return WholeFileStatus::kReadFailed;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  if (bytes != nullptr) *bytes = std::move(data);
  return WholeFileStatus::kRead;
}

}  // namespace velqor::platform
