// Fuzz target for the split-nibble and hex codecs of util/utils.h, and util/elffile.h's reading of
// a device library file's dynamic symbols, which takes a hostile file's every byte.
//
// Input: a length mode byte and a length parameter byte (see chooseLength), then the payload.
// Every codec runs on the payload with that length, each into an exact-size heap buffer (so
// AddressSanitizer sees any write past 2*len or len/2 bytes) and again into a buffer with guard
// bytes. Encoding then decoding gives the payload back; decoding text drawn from each codec's own
// alphabet then encoding gives the text back (in capitals, for hex). The payload is also read as
// an ELF file: every symbol it is found to define has a name, of the file's own bytes.
#include "fuzzinput.h"

#include "util/elffile.h"
#include "util/utils.h"

#include <algorithm>
#include <cctype>

namespace {

const char kHexDigits[] = "0123456789ABCDEFabcdef";

bool isSplitNibbleChar(uint8_t c)
{
    return c >= 0x30 && c <= 0x3F;
}

bool isUpperHexChar(uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

using Codec = void (*)(const uint8_t* in, int len, uint8_t* out);

void add30(const uint8_t* in, int len, uint8_t* out)
{
    Utils::hexStringAdd30(in, len, out);
}
void dec30(const uint8_t* in, int len, uint8_t* out)
{
    Utils::hexStringDec30(in, len, out);
}
void toHex(const uint8_t* in, int len, uint8_t* out)
{
    Utils::bytesToHexString(in, len, out);
}
void fromHex(const uint8_t* in, int len, uint8_t* out)
{
    Utils::hexStringToBytes(in, len, out);
}

// Runs codec on the first max(len, 0) bytes of input into an exact buffer of outSize bytes, and
// again into a guarded one, which must end up holding the same bytes. Returns the exact buffer.
std::vector<uint8_t> runBounded(Codec codec, const std::vector<uint8_t>& input, int len,
                                std::size_t outSize)
{
    const std::size_t inSize = len > 0 ? static_cast<std::size_t>(len) : 0;
    ExactCopy in(input.data(), inSize);
    ExactCopy exact(outSize);
    codec(in.bytes(), len, exact.bytes());

    GuardedBuffer guarded(outSize);
    codec(in.bytes(), len, guarded.bytes());
    FUZZ_CHECK(guarded.guardsHeld());
    FUZZ_CHECK(outSize == 0 || std::memcmp(guarded.bytes(), exact.bytes(), outSize) == 0);
    return std::vector<uint8_t>(exact.bytes(), exact.bytes() + outSize);
}

// The encoders and hexStringToBytes check their pointers: a null input writes nothing, a null
// output is not touched.
void nullPointersWriteNothing(const std::vector<uint8_t>& payload, int len)
{
    const std::size_t n = len > 0 ? static_cast<std::size_t>(len) : 0;
    GuardedBuffer out(2 * n);
    Utils::hexStringAdd30(nullptr, len, out.data());
    Utils::bytesToHexString(nullptr, len, out.bytes());
    Utils::hexStringToBytes(nullptr, len, out.bytes());
    FUZZ_CHECK(out.untouchedFrom(0));

    ExactCopy in(payload.data(), n);
    Utils::hexStringAdd30(in.bytes(), len, nullptr);
    Utils::bytesToHexString(in.bytes(), len, nullptr);
    Utils::hexStringToBytes(in.bytes(), len, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const uint8_t mode = input.byte();
    const uint8_t parameter = input.byte();
    const std::vector<uint8_t> payload = input.rest();
    if (payload.size() > INT_MAX / 2)
        return 0;
    const int len = chooseLength(mode, parameter, payload.size());
    const std::size_t n = len > 0 ? static_cast<std::size_t>(len) : 0;

    // Encoders: 2*len characters from the codec's alphabet, and the decoder gives the bytes back.
    const std::vector<uint8_t> split = runBounded(add30, payload, len, 2 * n);
    for (uint8_t c : split)
        FUZZ_CHECK(isSplitNibbleChar(c));
    const std::vector<uint8_t> splitBack = runBounded(dec30, split, static_cast<int>(2 * n), n);
    FUZZ_CHECK(std::equal(splitBack.begin(), splitBack.end(), payload.begin()));

    const std::vector<uint8_t> hex = runBounded(toHex, payload, len, 2 * n);
    for (uint8_t c : hex)
        FUZZ_CHECK(isUpperHexChar(c));
    const std::vector<uint8_t> hexBack = runBounded(fromHex, hex, static_cast<int>(2 * n), n);
    FUZZ_CHECK(std::equal(hexBack.begin(), hexBack.end(), payload.begin()));

    // Decoders on arbitrary text: len/2 bytes and not one more; an odd last character is dropped.
    runBounded(dec30, payload, len, n / 2);
    runBounded(fromHex, payload, len, n / 2);

    // Text from each alphabet survives decode then encode (hex comes back in capitals).
    std::vector<uint8_t> splitText(payload.begin(), payload.begin() + n);
    std::vector<uint8_t> hexText(payload.begin(), payload.begin() + n);
    for (std::size_t i = 0; i < n; ++i) {
        splitText[i] = static_cast<uint8_t>(0x30 | (payload[i] & 0x0F));
        hexText[i] = static_cast<uint8_t>(kHexDigits[payload[i] % (sizeof kHexDigits - 1)]);
    }
    const int even = static_cast<int>(n & ~std::size_t{1});
    const std::vector<uint8_t> splitBytes = runBounded(dec30, splitText, len, n / 2);
    const std::vector<uint8_t> splitAgain =
        runBounded(add30, splitBytes, even / 2, n & ~std::size_t{1});
    FUZZ_CHECK(std::equal(splitAgain.begin(), splitAgain.end(), splitText.begin()));
    const std::vector<uint8_t> hexBytes = runBounded(fromHex, hexText, len, n / 2);
    const std::vector<uint8_t> hexAgain =
        runBounded(toHex, hexBytes, even / 2, n & ~std::size_t{1});
    for (std::size_t i = 0; i < hexAgain.size(); ++i)
        FUZZ_CHECK(hexAgain[i] == std::toupper(hexText[i]));

    nullPointersWriteNothing(payload, len);

    const QByteArray file(reinterpret_cast<const char*>(payload.data()),
                          static_cast<int>(payload.size()));
    for (const QByteArray& name : elfDefinedSymbols(file))
        FUZZ_CHECK(!name.isEmpty() && !name.contains('\0') && file.contains(name));
    return 0;
}
