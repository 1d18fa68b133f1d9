// state_file.cpp - the state as a JSON file: read (every value checked
// as `set` checks it, every key given once) and written back.
#include "state.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "frame.h"

namespace mcu_sim {

namespace {

// A member name of the file, with the dotted key it makes and its line.
struct Member {
    std::string key;
    int line;
};

// The deepest nesting of objects and lists a state file may have: its keys
// take three names and a list at most.  Without a bound a deep file would
// exhaust the stack of the recursive walks below.
constexpr int kMaxDepth = 16;

// Where the text nests deeper than kMaxDepth, as "line L, column C: ...";
// empty when it does not.  Runs before the parser, on any text.
std::string too_deep(const std::string &text) {
    int depth = 0, line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
            line_start = i + 1;
        } else if (c == '"') {
            // In valid JSON a string holds no raw line break; in any other
            // text the parser finds the fault.
            for (++i; i < text.size() && text[i] != '"';) i += text[i] == '\\' ? 2 : 1;
        } else if (c == '{' || c == '[') {
            if (++depth > kMaxDepth)
                return "line " + std::to_string(line) + ", column " + std::to_string(i - line_start + 1) +
                       ": nested deeper than " + std::to_string(kMaxDepth) + " levels";
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return "";
}

// True when `key` is a state key or the name of an object that holds some
// ("radio", "radio.presets").
bool is_known_name(const std::string &key) {
    static const std::set<std::string> names = [] {
        std::set<std::string> all;
        for (const KeyInfo &k : State::keys()) {
            const std::string key = k.key;
            for (std::size_t dot = key.find('.'); dot != std::string::npos; dot = key.find('.', dot + 1))
                all.insert(key.substr(0, dot));
            all.insert(key);
        }
        return all;
    }();
    return names.count(key) != 0;
}

// Every member name in file order that is a state key or holds some.  The
// JSON parser keeps neither lines nor a repeated name (the last wins), so
// the text, known to be valid JSON, is walked once more for both.  Names
// under an unknown one are not kept (loading refuses the unknown name):
// what is kept is bounded by the state's own keys, whatever the file.
std::vector<Member> members_of(const std::string &text) {
    std::vector<Member> members;
    struct Open {
        bool object;
        bool known;       // a state key's object, whose member names are kept
        std::string key;  // its dotted name
    };
    std::vector<Open> open;
    std::string last_name;   // the key of the member whose value comes next
    bool last_known = true;  // ... and whether it is a name worth keeping
    int line = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
        } else if (c == '"') {
            std::size_t j = i + 1;
            while (j < text.size() && text[j] != '"') j += text[j] == '\\' ? 2 : 1;
            std::size_t k = j + 1;
            while (k < text.size() && std::isspace(static_cast<unsigned char>(text[k]))) ++k;
            if (k < text.size() && text[k] == ':' && !open.empty() && open.back().object) {
                last_known = false;
                if (open.back().known) {
                    const std::string name = nlohmann::json::parse(text.substr(i, j - i + 1)).get<std::string>();
                    last_name = open.back().key.empty() ? name : open.back().key + "." + name;
                    last_known = is_known_name(last_name);
                    if (last_known) members.push_back({last_name, line});
                }
            }
            i = j;  // a string holds no raw line break
        } else if (c == '{' || c == '[') {
            // The document itself is known; a list holds no named members.
            const bool known = c == '{' && (open.empty() || (open.back().object && last_known));
            open.push_back({c == '{', known, known ? last_name : std::string()});
            last_name.clear();
            last_known = known;
        } else if (c == '}' || c == ']') {
            open.pop_back();
        }
    }
    return members;
}

// A key given twice, as a nested and a dotted name or twice in one object,
// would be taken silently from whichever came last.
bool check_members_once(const std::string &text, std::string *error) {
    std::map<std::string, int> first;
    for (const Member &m : members_of(text)) {
        auto [at, added] = first.emplace(m.key, m.line);
        if (!added) {
            *error = "line " + std::to_string(m.line) + ": " + m.key + " is given twice (first on line " +
                     std::to_string(at->second) + ")";
            return false;
        }
    }
    return true;
}

}  // namespace

bool State::load_member(const std::string &key, const nlohmann::ordered_json &value, std::string *error) {
    using Json = nlohmann::ordered_json;
    auto it = entries_.find(key);
    if (value.is_object()) {
        if (it != entries_.end()) {
            *error = key + ": takes a value, not an object";
            return false;
        }
        for (const auto &member : value.items())
            if (!load_member(key.empty() ? member.key() : key + "." + member.key(), member.value(), error))
                return false;
        return true;
    }
    if (it == entries_.end()) {
        *error = "no state key " + key + " (--print-state lists them)";
        return false;
    }
    const KeyType type = it->second.info->type;
    auto text_of = [&](const Json &v, std::string *out) {
        if (v.is_string()) {
            *out = v.get<std::string>();
        } else if (v.is_number_unsigned() || v.is_number_integer()) {
            *out = v.dump();
        } else if (v.is_boolean()) {
            *out = v.get<bool>() ? "1" : "0";
        } else {
            *error = key + ": " + v.dump() + " is not a " +
                     (type == KeyType::Number ? "whole number or an enumeration name" : "value of this key");
            return false;
        }
        return true;
    };
    if (value.is_array()) {
        if (type != KeyType::Numbers && type != KeyType::Bytes) {
            *error = key + ": takes one value, not a list";
            return false;
        }
        std::string list;
        mcu_protocol::Bytes bytes;
        for (const Json &item : value) {
            std::string t;
            if (!item.is_number_unsigned() || !text_of(item, &t)) {
                *error = key + ": a list holds whole numbers from 0, not " + item.dump();
                return false;
            }
            if (type == KeyType::Bytes) {
                if (item.get<uint64_t>() > 255) {
                    *error = key + ": bytes are 0 to 255, not " + t;
                    return false;
                }
                bytes.push_back(static_cast<uint8_t>(item.get<uint64_t>()));
            }
            list += (list.empty() ? "" : ",") + t;
        }
        return set(key, type == KeyType::Bytes ? mcu_protocol::hex(bytes) : list, error);
    }
    if (type == KeyType::Number && value.is_number_integer()) {
        // A negative or oversized number is out of range, like any other.
        const int64_t n = value.is_number_unsigned()
                              ? static_cast<int64_t>(std::min<uint64_t>(value.get<uint64_t>(), INT64_MAX))
                              : value.get<int64_t>();
        *error = check_number(key, n);
        if (!error->empty()) return false;
    }
    std::string text;
    if (value.is_null()) {
        *error = key + ": null is not a value";
        return false;
    }
    return text_of(value, &text) && set(key, text, error);
}

bool State::load_json(const std::string &text, std::string *error) {
    if (const std::string deep = too_deep(text); !deep.empty()) {
        *error = deep;
        return false;
    }
    nlohmann::ordered_json doc;
    try {
        doc = nlohmann::ordered_json::parse(text);
    } catch (const nlohmann::json::parse_error &e) {
        *error = e.what();
        return false;
    }
    if (!doc.is_object()) {
        *error = "the state file holds one object";
        return false;
    }
    if (!check_members_once(text, error)) return false;
    return load_member("", doc, error);
}

std::string State::to_json() const {
    nlohmann::ordered_json doc = nlohmann::ordered_json::object();
    for (const KeyInfo &k : keys()) {
        nlohmann::ordered_json *node = &doc;
        std::string key = k.key;
        for (std::size_t dot; (dot = key.find('.')) != std::string::npos; key.erase(0, dot + 1))
            node = &(*node)[key.substr(0, dot)];
        const Entry &e = entry(k.key);
        std::string text;
        get(k.key, &text);
        switch (k.type) {
            case KeyType::Number:
                if (k.enumeration)
                    (*node)[key] = text;
                else
                    (*node)[key] = e.number;
                break;
            case KeyType::Numbers: (*node)[key] = e.numbers; break;
            case KeyType::Bytes:
            case KeyType::Text:
            case KeyType::Clock: (*node)[key] = text; break;
        }
    }
    return doc.dump(2) + "\n";
}

}  // namespace mcu_sim
