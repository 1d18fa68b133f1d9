// capture_file.cpp - capture files with a size limit and rotation.
#include "capture_file.h"

#include <cerrno>
#include <cstring>

#include "cli.h"

namespace mcu_cli {

namespace {

constexpr long kMaxFileMegabytes = 1000000;
constexpr long kMaxFiles = 100000;
constexpr uint64_t kMegabyte = 1000000;

}  // namespace

bool is_capture_limit_option(const std::string &option) {
    return option == "--capture-size" || option == "--capture-files";
}

bool take_capture_limit(const std::string &option, const std::string &value, CaptureLimits *limits,
                        std::string *error) {
    const bool size = option == "--capture-size";
    const long high = size ? kMaxFileMegabytes : kMaxFiles;
    long n = 0;
    if (!parse_int(value, 1, high, &n)) {
        *error = option + " takes a whole number from 1 to " + std::to_string(high) + ", not \"" + value + "\"";
        return false;
    }
    if (size)
        limits->file_bytes = static_cast<uint64_t>(n) * kMegabyte;
    else
        limits->files = n;
    return true;
}

std::string check_capture_limits(const CaptureLimits &limits) {
    if (limits.files && !limits.file_bytes) return "--capture-files needs --capture-size";
    return "";
}

bool CaptureFile::open(const std::string &path, const std::string &header, const CaptureLimits &limits, Report report,
                       std::string *error) {
    path_ = path;
    header_ = header;
    limits_ = limits;
    report_ = std::move(report);
    index_ = 0;
    parts_ = 0;
    return start_file(error);
}

std::string CaptureFile::file_path(long index) const {
    return index == 0 ? path_ : path_ + "." + std::to_string(index);
}

bool CaptureFile::start_file(std::string *error) {
    if (!file_.open(file_path(index_), error)) return false;
    ++parts_;
    has_lines_ = false;
    const std::string head = header_ + (parts_ > 1 ? " (part " + std::to_string(parts_) + ")" : "") + "\n";
    if (!file_.write(head)) {
        *error = "cannot write " + file_.path() + ": " + std::strerror(errno);
        file_.close();
        return false;
    }
    return true;
}

void CaptureFile::stop(const std::string &why) {
    file_.close();
    if (report_) report_("capture: " + why + "; the capture stops here");
}

void CaptureFile::write_line(const std::string &line) {
    if (!file_.is_open()) return;
    if (limits_.file_bytes && has_lines_ && file_.size() + line.size() + 1 > limits_.file_bytes) {
        const std::string full = file_.path();
        const uint64_t bytes = file_.size();
        if (!file_.close()) return stop("cannot write " + full + ": " + std::strerror(errno));
        const bool wrapped = limits_.files && index_ + 1 >= limits_.files;
        index_ = wrapped ? 0 : index_ + 1;
        std::string error;
        if (!start_file(&error)) return stop(error);
        if (report_)
            report_("capture: " + full + " holds " + std::to_string(bytes) + " bytes; going on in " + file_.path() +
                    (wrapped ? ", overwriting the oldest" : ""));
    }
    if (!file_.write(line + "\n")) return stop("cannot write " + file_.path() + ": " + std::strerror(errno));
    has_lines_ = true;
}

}  // namespace mcu_cli
