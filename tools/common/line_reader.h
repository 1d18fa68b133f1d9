// line_reader.h - lines cut out of bytes as they arrive, each at most a
// limit long.  A line over the limit is not kept: its bytes are dropped as
// they come and it is reported once, as too long, when its end arrives, so
// an endless line costs no more memory than the limit.
#ifndef MCU_TOOLS_LINE_READER_H
#define MCU_TOOLS_LINE_READER_H

#include <cstddef>
#include <string>

namespace mcu_cli {

class LineReader {
public:
    enum class Got { Line, TooLong, None };

    explicit LineReader(std::size_t limit) : limit_(limit) {}

    void feed(const char *data, std::size_t size) { held_.append(data, size); }

    // The next whole line, without its newline; None until one is complete.
    Got next(std::string *line) {
        const std::size_t nl = held_.find('\n', start_);
        if (nl == std::string::npos) {
            if (held_.size() - start_ > limit_) {  // no end in sight: stop keeping it
                skipping_ = true;
                held_.clear();
                start_ = 0;
            }
            compact();
            return Got::None;
        }
        const std::size_t from = start_;
        start_ = nl + 1;
        if (skipping_ || nl - from > limit_) {
            skipping_ = false;
            return Got::TooLong;
        }
        line->assign(held_, from, nl - from);
        return Got::Line;
    }

    // At the end of the input, once next() has none: the last line when it
    // had no newline (a writer that stopped in the middle of it).
    Got rest(std::string *line) {
        const bool had = skipping_ || start_ < held_.size();
        if (!had) return Got::None;
        const Got got = skipping_ ? Got::TooLong : Got::Line;
        if (got == Got::Line) line->assign(held_, start_, std::string::npos);
        clear();
        return got;
    }

    void clear() {
        held_.clear();
        start_ = 0;
        skipping_ = false;
    }

private:
    void compact() {
        if (start_ == 0) return;
        held_.erase(0, start_);
        start_ = 0;
    }

    std::size_t limit_;
    std::string held_;
    std::size_t start_ = 0;
    bool skipping_ = false;
};

}  // namespace mcu_cli

#endif  // MCU_TOOLS_LINE_READER_H
