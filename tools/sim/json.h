// json.h - a small JSON reader for the virtual MCU's state file: objects,
// arrays, strings (with \uXXXX escapes for the basic plane), numbers, true,
// false and null.
#ifndef MCU_SIM_JSON_H
#define MCU_SIM_JSON_H

#include <string>
#include <utility>
#include <vector>

namespace mcu_sim {

struct Json {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text;  // String; also the number as written, for Number
    std::vector<Json> array;
    std::vector<std::pair<std::string, Json>> object;  // in file order
};

// False with `error` ("line 3, column 7: ...") when `input` is not one
// JSON value.
bool parse_json(const std::string &input, Json *out, std::string *error);

}  // namespace mcu_sim

#endif  // MCU_SIM_JSON_H
