#include "sim/board/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

namespace sim {

void WriteFileAtomically(const std::filesystem::path& file, std::string_view contents) {
  std::filesystem::path temp = file;
  temp += ".tmp-" + std::to_string(getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw std::runtime_error("cannot write " + temp.string() + ": " + std::strerror(errno));
  size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n <= 0) {
      ::close(fd);
      ::unlink(temp.c_str());
      throw std::runtime_error("cannot write " + temp.string() + ": " + std::strerror(errno));
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    ::unlink(temp.c_str());
    throw std::runtime_error("cannot flush " + temp.string());
  }
  std::filesystem::rename(temp, file);
}

void WriteFileAtomically(const std::filesystem::path& file, const std::vector<uint8_t>& contents) {
  WriteFileAtomically(file, std::string_view(reinterpret_cast<const char*>(contents.data()), contents.size()));
}

std::vector<uint8_t> ReadBinaryFile(const std::filesystem::path& file) {
  std::error_code ec;
  if (std::filesystem::is_directory(file, ec)) throw std::runtime_error("cannot read " + file.string() + ": it is a folder");
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace sim
