// input_file.h - reading a file the user named (a state file, a scenario, a
// capture to replay) without letting the name hold the program up.
//
// The file is opened with O_NONBLOCK, so that a FIFO or a device opens at
// once instead of waiting for a writer, and O_CLOEXEC; what was opened
// must be a regular file (fstat on the descriptor, so nothing can be
// swapped in between), and it is read up to a cap.  A symbolic link the
// user named is followed: these are the user's own names for their
// files, and the checks apply to whatever the link leads to.
#ifndef MCU_TOOLS_INPUT_FILE_H
#define MCU_TOOLS_INPUT_FILE_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

namespace mcu_cli {

// What a file is, for a refusal: "a FIFO", "a directory", ...
inline const char *file_kind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// The whole of the regular file `path`, at most `max_bytes` of it.  False,
// with "cannot read PATH: why" in `error`, when it cannot be opened, is
// not a regular file or is larger.
inline bool read_input_file(const std::string &path, std::size_t max_bytes, std::string *text, std::string *error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = "cannot read " + path + ": it is " + file_kind(st.st_mode) + ", not a regular file";
        return false;
    }
    const std::string too_big = "cannot read " + path + ": larger than " + std::to_string(max_bytes) + " bytes";
    if (static_cast<unsigned long long>(st.st_size) > max_bytes) {
        *error = too_big;
        return false;
    }
    // The size is read again as the file is: it may grow meanwhile.
    std::string s;
    char buf[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        if (s.size() + static_cast<std::size_t>(n) > max_bytes) {
            *error = too_big;
            return false;
        }
        s.append(buf, static_cast<std::size_t>(n));
    }
    *text = std::move(s);
    return true;
}

}  // namespace mcu_cli

#endif  // MCU_TOOLS_INPUT_FILE_H
