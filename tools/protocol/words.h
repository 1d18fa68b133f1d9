// words.h - frames and values in words, and values back from words.
//
// One frame is one line:
//   app > MCU_CMD_SET_AUDIO_SOURCE(0x20) audio_source=AUDIO_SOURCE_AUX
//   agent > MCU_MSG_RET_RADIO_NOTIFY(0x50) band=RADIO_BAND_FM1 preset_num=0 status=RADIO_STATUS_NORMAL cur_freq=9810
// A value prints as its enumeration name (a number outside the
// enumeration as the number followed by '?'), a plain number in decimal,
// a byte run as hex digits, text in double quotes and a run of numbers as
// [a,b,c].  The same forms are read back by parse_value.
#ifndef MCU_PROTOCOL_WORDS_H
#define MCU_PROTOCOL_WORDS_H

#include <string>

#include "codec.h"
#include "frame.h"

namespace mcu_protocol {

std::string format_value(const Field &field, const Value &value);
// "name=value name=value ..."
std::string format_values(const Layout &layout, const Values &values);

// "MCU_CMD_X(0x21) fields" or "MCU_MSG_X(0x21) fields", with the layout's
// name in brackets when the id has several, and "!problem" notes at the end
// (bad checksum, unknown id, wrong length).  With `verbose` further lines
// follow, indented, one per field: its payload bytes, its value and where
// the library puts it.
std::string frame_words(Direction direction, uint8_t id, const Bytes &payload, bool verbose = false);
// A whole piece out of a scanner, application frames checked.
std::string piece_words(const Piece &piece, bool verbose = false);
// The name of an id in one direction, or 0xNN when the id is unknown.
std::string id_name(Direction direction, uint8_t id);

// Reads `text` as a value of `field`: an enumeration name or a number
// (decimal or 0x hex) for Number fields, hex digits for byte runs, quoted
// or plain text for Text, [a,b] or a,b for runs of numbers.
bool parse_value(const Field &field, const std::string &text, Value *value, std::string *error);
// Reads "name=value" tokens for message or command `layouts` (the field is
// looked up in every layout of the id).
bool parse_assignments(Span<Layout> layouts, const std::vector<std::string> &tokens, Values *values,
                       std::string *error);

}  // namespace mcu_protocol

#endif  // MCU_PROTOCOL_WORDS_H
