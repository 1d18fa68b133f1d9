// capture_file.h - the capture file that mcu-agent-sim and mcu-agent-tap
// write, one line a frame (capture.h), with an optional size limit:
//
//   --capture-size MB   a file holds at most MB million bytes; the lines
//                       after go to the next file: FILE, FILE.1, FILE.2, ...
//   --capture-files N   with --capture-size: at most N files; after
//                       FILE.(N-1) the capture goes on in FILE again,
//                       overwriting the oldest
//
// (tcpdump's -C and -W).  Every file begins with the header line and is
// opened through OutputFile; each change of file is said in one line.
// When a write fails the capture stops, said once.
#ifndef MCU_TOOLS_CAPTURE_FILE_H
#define MCU_TOOLS_CAPTURE_FILE_H

#include <cstdint>
#include <functional>
#include <string>

#include "output_file.h"

namespace mcu_cli {

struct CaptureLimits {
    uint64_t file_bytes = 0;  // 0: one file, without limit
    long files = 0;           // 0: no limit on the number of files
};

// True when `option` is --capture-size or --capture-files; then `value` is
// taken into `limits`, or `error` says why not.
bool is_capture_limit_option(const std::string &option);
bool take_capture_limit(const std::string &option, const std::string &value, CaptureLimits *limits,
                        std::string *error);
// What is wrong with the combination, or "".
std::string check_capture_limits(const CaptureLimits &limits);

class CaptureFile {
public:
    using Report = std::function<void(const std::string &line)>;

    // Opens the first file, `path`, and writes `header` (a comment line,
    // without its newline) to it.  `report` hears changes of file and a
    // failed write.  False with `error` when the file cannot be written.
    bool open(const std::string &path, const std::string &header, const CaptureLimits &limits, Report report,
              std::string *error);
    bool is_open() const { return file_.is_open(); }
    // One capture line, without its newline.  Goes to the next file first
    // when it would take the current one over the size limit.
    void write_line(const std::string &line);

private:
    bool start_file(std::string *error);
    std::string file_path(long index) const;
    void stop(const std::string &why);

    OutputFile file_;
    std::string path_, header_;
    CaptureLimits limits_;
    Report report_;
    long index_ = 0;        // the current file: 0 is `path`, k is `path.k`
    uint64_t parts_ = 0;    // files begun so far
    bool has_lines_ = false;
};

}  // namespace mcu_cli

#endif  // MCU_TOOLS_CAPTURE_FILE_H
