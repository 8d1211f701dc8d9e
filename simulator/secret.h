// Fixed-size buffers for key material that are wiped with OPENSSL_cleanse when their content is
// replaced or dropped and when they go out of scope.
#ifndef SECRET_H
#define SECRET_H

#include <openssl/crypto.h>

#include <cstddef>
#include <cstring>

template <std::size_t N>
class Secret {
public:
    Secret() = default;
    ~Secret() { wipe(); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    static constexpr std::size_t size() { return N; }
    unsigned char* data() { return bytes_; }
    const unsigned char* data() const { return bytes_; }
    unsigned char& operator[](std::size_t i) { return bytes_[i]; }

    void wipe() { OPENSSL_cleanse(bytes_, N); }

private:
    unsigned char bytes_[N] = {};
};

// A key the device may or may not hold.
template <std::size_t N>
class KeySlot {
public:
    bool present() const { return present_; }
    const Secret<N>& key() const { return key_; }

    void set(const Secret<N>& key)
    {
        key_.wipe();
        std::memcpy(key_.data(), key.data(), N);
        present_ = true;
    }
    void drop()
    {
        key_.wipe();
        present_ = false;
    }

private:
    Secret<N> key_;
    bool present_ = false;
};

#endif
