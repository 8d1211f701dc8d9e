// Helpers shared by the fuzz targets: a reader that takes the fuzz input from the front (so seed
// files can be written by hand), heap buffers with guard bytes, and a check that aborts, which
// libFuzzer reports as a crash with the input that caused it.
#ifndef FUZZINPUT_H
#define FUZZINPUT_H

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// Reads the fuzz input front to back; past its end every read gives zeros or nothing.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, std::size_t size)
        : m_data(data)
        , m_size(size)
    {
    }

    uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }

    int32_t int32()
    {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = (value << 8) | byte();
        int32_t result;
        std::memcpy(&result, &value, sizeof result);
        return result;
    }

    // Up to count bytes, fewer when the input runs out.
    std::vector<uint8_t> bytes(std::size_t count)
    {
        const std::size_t n = count < remaining() ? count : remaining();
        std::vector<uint8_t> out(m_data + m_pos, m_data + m_pos + n);
        m_pos += n;
        return out;
    }

    std::vector<uint8_t> rest() { return bytes(remaining()); }

    std::size_t remaining() const { return m_size - m_pos; }

private:
    const uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// A length argument for a buffer of `size` bytes, chosen by one mode byte and one parameter byte:
// the whole buffer, a prefix of it, zero, a small negative number or INT_MIN. It never exceeds
// the buffer.
inline int chooseLength(uint8_t mode, uint8_t parameter, std::size_t size)
{
    const int whole = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    switch (mode % 8) {
    case 0:
    case 1:
    case 2:
    case 3:
        return whole;
    case 4:
    case 5:
        return whole == 0 ? 0 : parameter % (whole + 1);
    case 6:
        return -1 - parameter;
    default:
        return mode & 0x80 ? INT_MIN : 0;
    }
}

// A heap buffer of `size` usable bytes followed by kGuardBytes guard bytes, all filled with a
// fill byte first. Writes past the usable part are caught by guardsHeld(); writes past the guard
// by AddressSanitizer.
class GuardedBuffer {
public:
    static constexpr std::size_t kGuardBytes = 32;
    static constexpr uint8_t kFill = 0xA5;

    explicit GuardedBuffer(std::size_t size)
        : m_size(size)
        , m_bytes(size + kGuardBytes, kFill)
    {
    }

    char* data() { return reinterpret_cast<char*>(m_bytes.data()); }
    uint8_t* bytes() { return m_bytes.data(); }
    std::size_t size() const { return m_size; }

    // Whether every byte from `from` to the end of the guard still holds the fill byte.
    bool untouchedFrom(std::size_t from) const
    {
        for (std::size_t i = from; i < m_bytes.size(); ++i)
            if (m_bytes[i] != kFill)
                return false;
        return true;
    }
    bool guardsHeld() const { return untouchedFrom(m_size); }

private:
    std::size_t m_size;
    std::vector<uint8_t> m_bytes;
};

// An exact-size heap copy of bytes, so that AddressSanitizer catches a read or write one past it.
class ExactCopy {
public:
    ExactCopy(const uint8_t* bytes, std::size_t size)
        : m_size(size)
        , m_data(new uint8_t[size])
    {
        if (size)
            std::memcpy(m_data, bytes, size);
    }
    explicit ExactCopy(std::size_t size)
        : m_size(size)
        , m_data(new uint8_t[size]())
    {
    }
    ~ExactCopy() { delete[] m_data; }
    ExactCopy(const ExactCopy&) = delete;
    ExactCopy& operator=(const ExactCopy&) = delete;

    uint8_t* bytes() { return m_data; }
    char* data() { return reinterpret_cast<char*>(m_data); }
    std::size_t size() const { return m_size; }

private:
    std::size_t m_size;
    uint8_t* m_data;
};

#endif
