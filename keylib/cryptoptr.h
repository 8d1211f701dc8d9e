// Owning pointers for the libcrypto objects the key library uses, so that every way out of a
// function frees them. Big numbers are wiped on release since they may hold a private key.
#ifndef CRYPTOPTR_H
#define CRYPTOPTR_H

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <memory>

namespace clkey {

template <typename T, void (*Free)(T*)>
struct CryptoDeleter {
    void operator()(T* p) const { Free(p); }
};

template <typename T, void (*Free)(T*)>
using CryptoPtr = std::unique_ptr<T, CryptoDeleter<T, Free>>;

using BignumPtr = CryptoPtr<BIGNUM, BN_clear_free>;
using EcGroupPtr = CryptoPtr<EC_GROUP, EC_GROUP_free>;
using EcPointPtr = CryptoPtr<EC_POINT, EC_POINT_free>;
using PkeyPtr = CryptoPtr<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = CryptoPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using CipherCtxPtr = CryptoPtr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using Asn1IntegerPtr = CryptoPtr<ASN1_INTEGER, ASN1_INTEGER_free>;
using Asn1OctetStringPtr = CryptoPtr<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;

} // namespace clkey

#endif
