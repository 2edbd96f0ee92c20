// How every message of the tool becomes exactly one line on standard error, whatever text it carries.
//
// A message may hold text the tool does not control: a path from the command line, a library's or the sound
// server's description of a failure. A line feed or carriage return in it would split the one line a parent reads
// into several, and other control characters can rewrite a terminal. Such characters are shown escaped; everything
// else (printable ASCII, the backslash, UTF-8 text) passes unchanged, so the fixed messages stay byte for byte.
//
// Plain functions without state: safe on any thread. Header-only, since the recorder writes its stream-ended line
// through it too.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace qfx {

namespace detail {

inline void appendHex(std::string& out, const char* prefix, unsigned value, int digits) {
    static constexpr std::array<char, 16> kDigits{'0', '1', '2', '3', '4', '5', '6', '7',
                                                  '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
    out += prefix;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out += kDigits[(value >> static_cast<unsigned>(shift)) & 0xFU];
    }
}

} // namespace detail

/// `text` with its control characters escaped: line feed, carriage return and tab as `\n`, `\r`, `\t`; the other
/// C0 controls and DEL as `\xHH`; the C1 controls and the Unicode line and paragraph separators (U+0085, U+2028,
/// U+2029 and the rest of U+0080..U+009F) as `\uHHHH`. Bytes that are not valid UTF-8 pass unchanged.
[[nodiscard]] inline std::string oneLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<uint8_t>(text[i]);
        const auto next = [&](size_t k) { return i + k < text.size() ? static_cast<uint8_t>(text[i + k]) : 0U; };
        if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            detail::appendHex(out, "\\x", byte, 2);
        } else if (byte == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) {
            detail::appendHex(out, "\\u", next(1), 4); // C1 control; U+0085 is a line break to some readers
            ++i;
        } else if (byte == 0xE2 && next(1) == 0x80 && (next(2) == 0xA8 || next(2) == 0xA9)) {
            detail::appendHex(out, "\\u", 0x2000U + next(2) - 0x80U, 4);
            i += 2;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

/// Writes `oneLine(text)` and a line feed to `stream` in one write call, so that the line cannot interleave with
/// another writer of the same stream. A failed write (a parent that closed its end) is ignored: the run goes on.
inline void writeMessageLine(std::FILE* stream, std::string_view text) {
    const std::string line = oneLine(text) + "\n";
    (void)std::fputs(line.c_str(), stream);
}

} // namespace qfx
