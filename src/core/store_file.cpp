// Store files: the atomic save, and the loads that read or map.
#include "core/store_file.hpp"

#include <fcntl.h>     // open
#include <sys/mman.h>  // mmap
#include <sys/stat.h>  // fstat, fchmod
#include <unistd.h>    // pread, write, fsync, close

#include <cerrno>
#include <cstdlib>  // mkostemp
#include <cstring>  // std::memcpy
#include <memory>
#include <vector>

#include "core/store_format.hpp"

namespace tarnix::core {
namespace {

// Small pieces (ids block by block, padding, a tail) are gathered before they are
// written; larger ones go straight to the file.
constexpr std::size_t kWriteBuffer = std::size_t{256} << 10;
constexpr std::size_t kWrittenDirectly = std::size_t{64} << 10;

int write_all(int fd, const std::byte* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

class FileSink final : public ImageSink {
 public:
  explicit FileSink(int fd) : fd_(fd) { buffer_.reserve(kWriteBuffer); }
  int start() { return ::lseek(fd_, static_cast<off_t>(kHeaderBytes), SEEK_SET) < 0 ? errno : 0; }
  int write(std::span<const std::byte> bytes) override {
    if (bytes.size() < kWrittenDirectly) {
      if (buffer_.size() + bytes.size() > kWriteBuffer) {
        if (const int error = flush(); error != 0) return error;
      }
      buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
      return 0;
    }
    if (const int error = flush(); error != 0) return error;
    return write_all(fd_, bytes.data(), bytes.size());
  }
  int write_header(std::span<const std::byte, kHeaderBytes> header) override {
    if (const int error = flush(); error != 0) return error;
    if (::lseek(fd_, 0, SEEK_SET) < 0) return errno;
    return write_all(fd_, header.data(), header.size());
  }

 private:
  int flush() {
    const int error = write_all(fd_, buffer_.data(), buffer_.size());
    buffer_.clear();
    return error;
  }
  int fd_;
  std::vector<std::byte> buffer_;
};

class FileSource final : public ImageSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {}
  int read(std::uint64_t offset, std::span<std::byte> out) override {
    while (!out.empty()) {
      const ssize_t got = ::pread(fd_, out.data(), out.size(), static_cast<off_t>(offset));
      if (got < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (got == 0) return kImageEnded;
      out = out.subspan(static_cast<std::size_t>(got));
      offset += static_cast<std::uint64_t>(got);
    }
    return 0;
  }

 private:
  int fd_;
};

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now, reporting what close reports (a write-back failure, on some systems).
  int close() {
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

// The temporary file of a save, removed unless it has been renamed into place: on every
// way out of the save, a panic unwinding through it included.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string name) : name_(std::move(name)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  const std::string& name() const { return name_; }
  void renamed() { name_.clear(); }

 private:
  std::string name_;
};

base::Unexpected<StoreError> system_failure(int error) { return base::fail(StoreError{SystemError{error}}); }

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The directory entry of the rename, on the disk. File systems that cannot flush a
// directory say EINVAL; there the rename is as durable as they make it.
int flush_directory(const std::string& directory) {
  Descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return errno;
  if (::fsync(fd.get()) != 0 && errno != EINVAL) return errno;
  return fd.close();
}

}  // namespace

base::Expected<base::Done, StoreError> save_store(const Vectorstore& store, const std::string& path) {
  auto layout = image_layout(store);
  if (!layout) return base::fail(StoreError{layout.take_error()});
  // 1. A new file beside the target, so that the rename stays within one file system.
  const std::string directory = directory_of(path);
  const std::size_t slash = path.rfind('/');
  std::string name = directory + "/." + (slash == std::string::npos ? path : path.substr(slash + 1)) + ".XXXXXX";
  Descriptor fd(::mkostemp(name.data(), O_CLOEXEC));
  if (fd.get() < 0) return system_failure(errno);
  TemporaryFile temporary(std::move(name));
  struct stat existing {};
  const mode_t mode = ::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) ? existing.st_mode & 07777 : 0644;
  if (::fchmod(fd.get(), mode) != 0) return system_failure(errno);
  // 2. The sections, then the header, then everything on the disk.
  FileSink sink(fd.get());
  if (const int error = sink.start(); error != 0) return system_failure(error);
  if (const int error = write_image(store, layout.value(), sink); error != 0) return system_failure(error);
  if (::fsync(fd.get()) != 0) return system_failure(errno);
  if (const int error = fd.close(); error != 0) return system_failure(error);
  // 3. Into place, in one step.
  if (::rename(temporary.name().c_str(), path.c_str()) != 0) return system_failure(errno);
  temporary.renamed();
  if (const int error = flush_directory(directory); error != 0) return system_failure(error);
  return base::Done{};
}

base::Expected<Vectorstore, StoreError> load_store(const std::string& path, bool map) {
  // Without O_NONBLOCK, opening a FIFO would wait for a writer; regular files ignore it.
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return system_failure(errno);
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return system_failure(errno);
  if (S_ISDIR(status.st_mode)) return system_failure(EISDIR);
  const auto size = static_cast<std::uint64_t>(status.st_size);
  std::byte prefix[kHeaderBytes];
  const std::size_t prefix_size = size < kHeaderBytes ? static_cast<std::size_t>(size) : kHeaderBytes;
  FileSource source(fd.get());
  if (const int error = source.read(0, std::span<std::byte>(prefix, prefix_size)); error != 0) {
    if (error == kImageEnded) return base::fail(StoreError{FormatError{"store file is truncated"}});
    return system_failure(error);
  }
  auto header = decode_header(std::span<const std::byte>(prefix, prefix_size), size);
  if (!header) return base::fail(StoreError{header.take_error()});
  if (!map) return read_image(header.value(), source);
  // The header fits the file's size (decode_header), and that size fits size_t
  // (layout_for): the mapping covers every byte the header names.
  const auto length = static_cast<std::size_t>(size);
  void* mapped = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (mapped == MAP_FAILED) return system_failure(errno);
  std::shared_ptr<const void> owner(mapped, [length](const void* at) { ::munmap(const_cast<void*>(at), length); });
  return adopt_image(header.value(), std::span<const std::byte>(static_cast<const std::byte*>(mapped), length),
                     std::move(owner));
}

}  // namespace tarnix::core
