// output_file.h - the files the tools write (captures, pcapng files, the
// ready file), opened so that another local user cannot turn them against
// the one who runs the tool.  Such a user may have planted something at
// the path before the tool starts, in /tmp or any directory they can
// write:
//
//   - a symbolic link: never followed (the tool would overwrite its target);
//   - a hard link, or a file of their own: refused (the tool would write
//     into a file that they can read, or that is also another file);
//   - a FIFO or a device: refused, without waiting for a reader.
//
// A file is created with mode 0600; an existing file of the user's own,
// with one link, is truncated and reused, and its mode narrowed to 0600:
// what the tools write (every frame on the agent socket) is for the user
// only.
#ifndef MCU_TOOLS_OUTPUT_FILE_H
#define MCU_TOOLS_OUTPUT_FILE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "socket_file.h"

namespace mcu_cli {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { close(); }
    OutputFile(OutputFile &&other) noexcept;
    OutputFile &operator=(OutputFile &&other) noexcept;
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Opens `path` for writing from its start, empty.  False with `error`
    // ("cannot write PATH: it is a symbolic link") when the path is not a
    // file this user may safely write.
    bool open(const std::string &path, std::string *error);
    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string &path() const { return path_; }
    // Bytes written since it was opened.
    uint64_t size() const { return size_; }

    // Writes all of `size` bytes (short writes and EINTR retried).  False,
    // with errno set, when the file took less.
    bool write(const void *data, std::size_t size);
    bool write(const std::string &text) { return write(text.data(), text.size()); }
    // Closes the file; false, with errno set, when the close reported an
    // error (a write that did not reach the disk).
    bool close();

private:
    int fd_ = -1;
    std::string path_;
    uint64_t size_ = 0;
};

// Puts `text` at `path` in one step: written to a new file of an
// unpredictable name in the same directory (created 0600, exclusively),
// then renamed over `path`.  Whoever waits for `path` reads it whole or
// not at all, and nothing planted at `path` is written through; the
// rename replaces the directory entry itself.  `written` (may be null)
// gets the file's identity, for mcu_tools::remove_own_file().
bool replace_file(const std::string &path, const std::string &text, mcu_tools::FileId *written, std::string *error);

}  // namespace mcu_cli

#endif  // MCU_TOOLS_OUTPUT_FILE_H
