#include "text_scan.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace morvane {

namespace {

Result<std::string_view> read_fd(int fd, std::string& buffer) {
  // The buffer keeps its size between calls, so only growth zero-fills.
  if (buffer.size() < 65536) buffer.resize(65536);
  std::size_t size = 0;
  for (;;) {
    if (size == buffer.size()) buffer.resize(buffer.size() * 2);
    const ssize_t got = ::read(fd, buffer.data() + size, buffer.size() - size);
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(BufrError::io(os_error_detail(errno)));
    }
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  const std::string_view text(buffer.data(), size);
  if (utf8_invalid_at(text) != std::string_view::npos) {
    return fail(BufrError::io("stream did not contain valid UTF-8"));
  }
  return text;
}

Result<std::string_view> read_opened(int fd, std::string& buffer) {
  if (fd < 0) return fail(BufrError::io(os_error_detail(errno)));
  auto text = read_fd(fd, buffer);
  ::close(fd);
  return text;
}

int open_retrying(int dir_fd, const char* name) {
  int fd;
  do {
    fd = ::openat(dir_fd, name, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

} // namespace

Result<std::string_view> read_text_file(const char* path, std::string& buffer) {
  return read_opened(open_retrying(AT_FDCWD, path), buffer);
}

Result<std::string_view> read_text_file_at(int dir_fd, const char* name, std::string& buffer) {
  return read_opened(open_retrying(dir_fd, name), buffer);
}

} // namespace morvane
