#pragma once
// An obviously-correct UTF-8 reference for the fuzzers, built on code-point
// arithmetic rather than the byte-range table the helper uses.

#include <cstddef>
#include <string>
#include <string_view>

namespace reference {

inline bool isScalar(char32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

// Sequence length a first byte announces; 0 for a byte no sequence starts with.
inline int announced(unsigned char b) {
    if (b < 0x80) return 1;
    if (b < 0xC0) return 0;
    if (b < 0xE0) return 2;
    if (b < 0xF0) return 3;
    if (b < 0xF8) return 4;
    return 0;
}

// Can the k bytes at p be completed into a well-formed n-byte sequence? True
// when some scalar value of n bytes that is not overlong starts with them.
inline bool viable(const unsigned char* p, int k, int n, char32_t& value) {
    char32_t v = p[0] & (0x7F >> n);
    for (int i = 1; i < k; ++i) {
        if ((p[i] & 0xC0) != 0x80) return false;
        v = (v << 6) | (p[i] & 0x3F);
    }
    const int rest = 6 * (n - k);
    const char32_t low = v << rest;
    const char32_t high = low | ((char32_t{1} << rest) - 1);
    const char32_t minimum = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
    const char32_t a = low > minimum ? low : minimum;
    const char32_t b = high < 0x10FFFF ? high : 0x10FFFF;
    value = v;
    return a <= b && !(a >= 0xD800 && b <= 0xDFFF);
}

inline void encode(char32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes `in` into code points; each maximal prefix of a well-formed
// sequence that can't be completed becomes one U+FFFD. `valid` tells whether
// none had to be replaced.
inline std::u32string decode(std::string_view in, bool& valid) {
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const std::size_t size = in.size();
    std::u32string points;
    valid = true;
    for (std::size_t i = 0; i < size;) {
        const int n = announced(p[i]);
        char32_t value = 0;
        if (n == 1) {
            points += p[i++];
            continue;
        }
        int k = 0;
        while (n > 1 && k < n && i + static_cast<std::size_t>(k) < size && viable(p + i, k + 1, n, value)) {
            ++k;
        }
        if (n > 1 && k == n) {
            points += value;
            i += static_cast<std::size_t>(n);
        } else {
            points += U'\uFFFD';
            valid = false;
            i += k > 0 ? static_cast<std::size_t>(k) : 1;
        }
    }
    return points;
}

inline std::string encode(std::u32string_view points) {
    std::string out;
    for (char32_t c : points) encode(c, out);
    return out;
}

}  // namespace reference
