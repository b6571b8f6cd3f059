// Command-line reading shared by every parser of options: the simulated
// board's, the virtual USB board's and the program's own.
#pragma once

#include <charconv>
#include <string>
#include <string_view>
#include <system_error>

namespace sim {

// What a parser of the board's options made of one argument.
enum class OptionParse {
    NotMine,    // not this parser's option: let another parser look at it
    Accepted,
    Malformed,  // its option, with a bad value; *error says why
};

// Whether arg starts with prefix ("--ts-rate="); the rest goes to *value.
inline bool optionValue(const std::string& arg, std::string_view prefix, std::string* value) {
    if (arg.compare(0, prefix.size(), prefix) != 0) return false;
    *value = arg.substr(prefix.size());
    return true;
}

// A number in decimal digits and nothing else; false when it does not fit T.
template <typename T>
bool parseDecimal(const std::string& text, T* out) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *out);
    return ec == std::errc() && ptr == end;
}

}  // namespace sim
