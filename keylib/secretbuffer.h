// A heap byte buffer for key material and the data around it, used by the key library and the
// simulator: allocation never throws, and the bytes are wiped before the memory is released.
#ifndef SECRETBUFFER_H
#define SECRETBUFFER_H

#include <openssl/crypto.h>

#include <cstddef>
#include <utility>

namespace clkey {

class SecretBuffer {
public:
    SecretBuffer() = default;
    ~SecretBuffer() { release(); }
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    // Moving hands the bytes over without a copy, so that they exist in one place only.
    SecretBuffer(SecretBuffer&& other) noexcept { swap(other); }
    SecretBuffer& operator=(SecretBuffer&& other) noexcept
    {
        SecretBuffer dropped;
        swap(other);
        dropped.swap(other);
        return *this;
    }

    // Replaces the contents with size zero bytes; false when memory runs out.
    bool allocate(std::size_t size)
    {
        release();
        if (size == 0)
            return true;
        m_data = static_cast<unsigned char*>(OPENSSL_zalloc(size));
        if (m_data == nullptr)
            return false;
        m_size = size;
        m_capacity = size;
        return true;
    }

    // Keeps only the first size bytes (size no larger than now) and wipes the rest at once.
    void truncate(std::size_t size)
    {
        if (size < m_size) {
            OPENSSL_cleanse(m_data + size, m_size - size);
            m_size = size;
        }
    }

    unsigned char* data() { return m_data; }
    const unsigned char* data() const { return m_data; }
    std::size_t size() const { return m_size; }

private:
    void swap(SecretBuffer& other) noexcept
    {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        std::swap(m_capacity, other.m_capacity);
    }

    void release()
    {
        OPENSSL_clear_free(m_data, m_capacity);
        m_data = nullptr;
        m_size = 0;
        m_capacity = 0;
    }

    unsigned char* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};

} // namespace clkey

#endif
