// dump.h - frames in words, one a line, from a capture file or from hex.
//
// Input lines are capture lines ("(stamp) app > 21#" and the like) or hex
// bytes of raw frames in either direction (spaces optional; a frame may run
// over several lines and a line may hold several frames).  Each frame
// becomes one line: stamp (for capture lines), direction, id name and every
// field by name, enumeration values by name, and "!" notes for anything
// wrong with it.  Verbose adds indented lines per field: its payload bytes
// and where the library puts it.
#ifndef MCU_DUMP_DUMP_H
#define MCU_DUMP_DUMP_H

#include <istream>
#include <ostream>
#include <string>

#include "frame_view.h"

namespace mcu_dump {

struct DumpOptions {
    bool verbose = false;
    // Which frames are shown and how their times read (--id, -t,
    // --direction); it remembers the times shown, across files.
    mcu_cli::FrameView view{true, mcu_cli::TimeStamps::Absolute};
};

// Returns the number of input lines that were neither capture lines nor
// hex, each reported on `errors` as "NAME:N: ...".
int dump_stream(std::istream &in, std::ostream &out, std::ostream &errors, const std::string &name,
                DumpOptions &options);

}  // namespace mcu_dump

#endif  // MCU_DUMP_DUMP_H
