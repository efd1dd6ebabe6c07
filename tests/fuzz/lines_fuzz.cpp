// Captured output: strict validation and the line rule against a reference
// that works on code points.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "process/text.h"
#include "tests/fuzz/reference.h"

namespace {

bool isNewline(char32_t c) { return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029; }

std::vector<std::string> referenceLines(std::string_view bytes) {
    bool valid = false;
    const std::u32string points = reference::decode(bytes, valid);
    if (!valid) return {};
    std::size_t begin = 0;
    std::size_t end = points.size();
    while (begin < end && isNewline(points[begin])) ++begin;
    while (end > begin && isNewline(points[end - 1])) --end;
    std::vector<std::string> lines(1);
    for (std::size_t i = begin; i < end; ++i) {
        if (points[i] == U'\n') {
            lines.emplace_back();
        } else {
            reference::encode(points[i], lines.back());
        }
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string_view> lines = splitLines(in);
    if (std::vector<std::string>(lines.begin(), lines.end()) != referenceLines(in)) std::abort();
    return 0;
}
