// json.cpp - recursive-descent JSON reader.
#include "json.h"

#include <cctype>
#include <cstdlib>

namespace mcu_sim {

namespace {

class Reader {
public:
    explicit Reader(const std::string &in) : in_(in) {}

    bool document(Json *out, std::string *error) {
        if (!value(out, 0)) return fail(error);
        skip_space();
        if (pos_ != in_.size()) {
            why_ = "unexpected text after the value";
            return fail(error);
        }
        return true;
    }

private:
    static constexpr int kMaxDepth = 64;

    bool fail(std::string *error) {
        int line = 1, column = 1;
        for (std::size_t i = 0; i < pos_ && i < in_.size(); ++i) {
            if (in_[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        *error = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + why_;
        return false;
    }

    bool stop(const char *why) {
        why_ = why;
        return false;
    }

    void skip_space() {
        while (pos_ < in_.size() && std::isspace(static_cast<unsigned char>(in_[pos_]))) ++pos_;
    }

    bool literal(const char *word) {
        std::size_t n = 0;
        while (word[n]) ++n;
        if (in_.compare(pos_, n, word) != 0) return stop("unknown word");
        pos_ += n;
        return true;
    }

    bool value(Json *out, int depth) {
        if (depth > kMaxDepth) return stop("nested too deeply");
        skip_space();
        if (pos_ >= in_.size()) return stop("value expected");
        const char c = in_[pos_];
        if (c == '{') return object(out, depth);
        if (c == '[') return array(out, depth);
        if (c == '"') {
            out->type = Json::Type::String;
            return string(&out->text);
        }
        if (c == 't' || c == 'f') {
            out->type = Json::Type::Bool;
            out->boolean = c == 't';
            return literal(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            out->type = Json::Type::Null;
            return literal("null");
        }
        return number(out);
    }

    bool number(Json *out) {
        const std::size_t start = pos_;
        if (pos_ < in_.size() && in_[pos_] == '-') ++pos_;
        while (pos_ < in_.size() && (std::isdigit(static_cast<unsigned char>(in_[pos_])) || in_[pos_] == '.' ||
                                     in_[pos_] == 'e' || in_[pos_] == 'E' || in_[pos_] == '+' || in_[pos_] == '-'))
            ++pos_;
        out->text = in_.substr(start, pos_ - start);
        char *end = nullptr;
        out->number = std::strtod(out->text.c_str(), &end);
        if (out->text.empty() || *end != '\0') {
            pos_ = start;
            return stop("not a number");
        }
        out->type = Json::Type::Number;
        return true;
    }

    bool hex4(unsigned *code) {
        if (pos_ + 4 > in_.size()) return stop("short \\u escape");
        *code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = in_[pos_++];
            *code <<= 4;
            if (c >= '0' && c <= '9') *code |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f') *code |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') *code |= static_cast<unsigned>(c - 'A' + 10);
            else return stop("bad \\u escape");
        }
        return true;
    }

    bool string(std::string *out) {
        ++pos_;  // opening quote
        out->clear();
        while (pos_ < in_.size()) {
            const char c = in_[pos_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return stop("control character in a string");
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (pos_ >= in_.size()) break;
            const char e = in_[pos_++];
            switch (e) {
                case '"': *out += '"'; break;
                case '\\': *out += '\\'; break;
                case '/': *out += '/'; break;
                case 'b': *out += '\b'; break;
                case 'f': *out += '\f'; break;
                case 'n': *out += '\n'; break;
                case 'r': *out += '\r'; break;
                case 't': *out += '\t'; break;
                case 'u': {
                    unsigned code = 0;
                    if (!hex4(&code)) return false;
                    if (code < 0x80) {
                        *out += static_cast<char>(code);
                    } else if (code < 0x800) {
                        *out += static_cast<char>(0xC0 | code >> 6);
                        *out += static_cast<char>(0x80 | (code & 0x3F));
                    } else {
                        *out += static_cast<char>(0xE0 | code >> 12);
                        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                        *out += static_cast<char>(0x80 | (code & 0x3F));
                    }
                    break;
                }
                default: return stop("unknown escape");
            }
        }
        return stop("unterminated string");
    }

    bool array(Json *out, int depth) {
        out->type = Json::Type::Array;
        ++pos_;
        skip_space();
        if (pos_ < in_.size() && in_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            Json item;
            if (!value(&item, depth + 1)) return false;
            out->array.push_back(std::move(item));
            skip_space();
            if (pos_ < in_.size() && in_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < in_.size() && in_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return stop("expected , or ]");
        }
    }

    bool object(Json *out, int depth) {
        out->type = Json::Type::Object;
        ++pos_;
        skip_space();
        if (pos_ < in_.size() && in_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            skip_space();
            if (pos_ >= in_.size() || in_[pos_] != '"') return stop("expected a member name");
            std::string name;
            if (!string(&name)) return false;
            skip_space();
            if (pos_ >= in_.size() || in_[pos_] != ':') return stop("expected :");
            ++pos_;
            Json item;
            if (!value(&item, depth + 1)) return false;
            out->object.emplace_back(std::move(name), std::move(item));
            skip_space();
            if (pos_ < in_.size() && in_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < in_.size() && in_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return stop("expected , or }");
        }
    }

    const std::string &in_;
    std::size_t pos_ = 0;
    const char *why_ = "";
};

}  // namespace

bool parse_json(const std::string &input, Json *out, std::string *error) {
    *out = Json{};
    return Reader(input).document(out, error);
}

}  // namespace mcu_sim
