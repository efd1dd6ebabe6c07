#include "process/text.h"

#include <cstddef>

namespace {

// Length of the well-formed sequence starting at p[0], or 0 when it is
// ill-formed; then `bad` is the length of its maximal ill-formed subpart.
std::size_t sequenceLength(const unsigned char* p, std::size_t n, std::size_t& bad) {
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        return 1;
    }
    std::size_t tail = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        tail = 1;
    } else if (lead == 0xE0) {
        tail = 2;
        low = 0xA0;  // below is overlong
    } else if (lead == 0xED) {
        tail = 2;
        high = 0x9F;  // above are surrogates
    } else if (lead >= 0xE1 && lead <= 0xEF) {
        tail = 2;
    } else if (lead == 0xF0) {
        tail = 3;
        low = 0x90;  // below is overlong
    } else if (lead >= 0xF1 && lead <= 0xF3) {
        tail = 3;
    } else if (lead == 0xF4) {
        tail = 3;
        high = 0x8F;  // above is past U+10FFFF
    } else {
        bad = 1;
        return 0;
    }
    for (std::size_t k = 1; k <= tail; ++k) {
        if (k >= n || p[k] < low || p[k] > high) {
            bad = k;
            return 0;
        }
        low = 0x80;
        high = 0xBF;
    }
    return tail + 1;
}

const unsigned char* bytesOf(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// Length of the newline character that ends at s[end-1], or 0.
std::size_t newlineBefore(std::string_view s, std::size_t end) {
    const unsigned char* p = bytesOf(s);
    if (end >= 1 && p[end - 1] >= 0x0A && p[end - 1] <= 0x0D) {
        return 1;
    }
    if (end >= 2 && p[end - 2] == 0xC2 && p[end - 1] == 0x85) {
        return 2;
    }
    if (end >= 3 && p[end - 3] == 0xE2 && p[end - 2] == 0x80 && (p[end - 1] == 0xA8 || p[end - 1] == 0xA9)) {
        return 3;
    }
    return 0;
}

// Length of the newline character that starts at s[begin], or 0.
std::size_t newlineAt(std::string_view s, std::size_t begin) {
    const unsigned char* p = bytesOf(s);
    const std::size_t left = s.size() - begin;
    if (left >= 1 && p[begin] >= 0x0A && p[begin] <= 0x0D) {
        return 1;
    }
    if (left >= 2 && p[begin] == 0xC2 && p[begin + 1] == 0x85) {
        return 2;
    }
    if (left >= 3 && p[begin] == 0xE2 && p[begin + 1] == 0x80 &&
        (p[begin + 2] == 0xA8 || p[begin + 2] == 0xA9)) {
        return 3;
    }
    return 0;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    const unsigned char* p = bytesOf(bytes);
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        std::size_t bad = 0;
        const std::size_t len = sequenceLength(p + i, n - i, bad);
        if (len == 0) {
            return false;
        }
        i += len;
    }
    return true;
}

std::string decodeUtf8Lossy(std::string_view bytes) {
    if (isValidUtf8(bytes)) {
        return std::string(bytes);
    }
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    const unsigned char* p = bytesOf(bytes);
    const std::size_t n = bytes.size();
    std::string out;
    out.reserve(n + n / 2);
    std::size_t i = 0;
    while (i < n) {
        std::size_t bad = 0;
        const std::size_t len = sequenceLength(p + i, n - i, bad);
        if (len != 0) {
            out.append(bytes.substr(i, len));
            i += len;
        } else {
            out.append(replacement);
            i += bad;
        }
    }
    return out;
}

std::vector<std::string_view> splitLines(std::string_view bytes) {
    std::vector<std::string_view> lines;
    if (!isValidUtf8(bytes)) {
        return lines;
    }
    // Valid UTF-8 makes the byte tests exact: 0xC2 and 0xE2 are lead bytes,
    // so C2 85 and E2 80 A8/A9 can only be U+0085, U+2028 and U+2029.
    std::size_t begin = 0;
    std::size_t end = bytes.size();
    while (begin < end) {
        const std::size_t len = newlineAt(bytes, begin);
        if (len == 0) {
            break;
        }
        begin += len;
    }
    while (end > begin) {
        const std::size_t len = newlineBefore(bytes, end);
        if (len == 0) {
            break;
        }
        end -= len;
    }
    const std::string_view text = bytes.substr(begin, end - begin);
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = text.find('\n', from);
        if (at == std::string_view::npos) {
            lines.push_back(text.substr(from));
            return lines;
        }
        lines.push_back(text.substr(from, at - from));
        from = at + 1;
    }
}
