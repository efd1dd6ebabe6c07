// Argument decoding against the reference: the output is always well-formed,
// well-formed input comes back unchanged, and each maximal ill-formed subpart
// becomes exactly one U+FFFD.
#include <cstdint>
#include <cstdlib>

#include "process/text.h"
#include "tests/fuzz/reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    bool valid = false;
    const std::string expected = reference::encode(reference::decode(in, valid));
    const std::string out = decodeUtf8Lossy(in);
    bool outValid = false;
    reference::decode(out, outValid);
    if (out != expected || !outValid || !isValidUtf8(out) || isValidUtf8(in) != valid ||
        (valid && out != in)) {
        std::abort();
    }
    return 0;
}
