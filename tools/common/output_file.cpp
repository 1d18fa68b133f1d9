// output_file.cpp - files the tools write, safe against another local user.
#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace mcu_cli {

namespace {

// Why `path`, which open() refused with `e`, is not written.
std::string refusal(const std::string &path, int e) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) return "it is a symbolic link (not followed)";
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return "it is not a regular file";
    }
    return std::strerror(e);
}

// Writes all of `size` bytes, counting them into `count`.
bool write_all(int fd, const void *data, std::size_t size, uint64_t *count) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
        *count += static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace

OutputFile::OutputFile(OutputFile &&other) noexcept
    : fd_(other.fd_), path_(std::move(other.path_)), size_(other.size_) {
    other.fd_ = -1;
}

OutputFile &OutputFile::operator=(OutputFile &&other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        size_ = other.size_;
        other.fd_ = -1;
    }
    return *this;
}

bool OutputFile::open(const std::string &path, std::string *error) {
    close();
    auto fail = [&](const std::string &why) {
        *error = "cannot write " + path + ": " + why;
        return false;
    };
    // Not truncated yet: what is there is looked at first.  O_NONBLOCK: a
    // FIFO without a reader is refused at once instead of waiting.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
    if (fd < 0) return fail(refusal(path, errno));
    struct stat st;
    std::string why;
    if (::fstat(fd, &st) != 0)
        why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = "it is not a regular file";
    else if (st.st_uid != ::geteuid())
        why = "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    else if (st.st_nlink != 1)
        why = "it has " + std::to_string(st.st_nlink) + " hard links";
    else if ((st.st_mode & 077) && ::fchmod(fd, 0600) != 0)
        why = std::string("cannot make it private: ") + std::strerror(errno);
    else if (::ftruncate(fd, 0) != 0 || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        why = std::strerror(errno);
    if (!why.empty()) {
        ::close(fd);
        return fail(why);
    }
    fd_ = fd;
    path_ = path;
    size_ = 0;
    return true;
}

bool OutputFile::write(const void *data, std::size_t size) {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    return write_all(fd_, data, size, &size_);
}

bool OutputFile::close() {
    if (fd_ < 0) return true;
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
}

bool replace_file(const std::string &path, const std::string &text, mcu_tools::FileId *written, std::string *error) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temporary = (dir == "/" ? "" : dir) + "/." + name + ".XXXXXX";
    std::vector<char> buf(temporary.begin(), temporary.end());
    buf.push_back('\0');
    // mkostemp: a name nobody can guess, created 0600 with O_EXCL.
    const int fd = ::mkostemp(buf.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    temporary.assign(buf.data());
    struct stat st {};
    uint64_t count = 0;
    bool ok = ::fstat(fd, &st) == 0 && write_all(fd, text.data(), text.size(), &count);
    int e = errno;
    if (::close(fd) != 0 && ok) {
        e = errno;
        ok = false;
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        e = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        *error = "cannot write " + path + ": " + std::strerror(e);
        return false;
    }
    if (written) *written = mcu_tools::FileId{st.st_dev, st.st_ino};
    return true;
}

}  // namespace mcu_cli
