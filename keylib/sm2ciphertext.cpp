#include "sm2ciphertext.h"

#include "clkey.h"
#include "cryptoptr.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>

#include <climits>
#include <cstring>

namespace clkey {

namespace {

// DER integers are minimal and signed: a coordinate may come shorter than 32 bytes or with a
// leading zero byte. Both convert through a big number.
Asn1IntegerPtr coordinateToInteger(const unsigned char* coordinate)
{
    BignumPtr value(BN_bin2bn(coordinate, static_cast<int>(kSm2CoordinateBytes), nullptr));
    if (!value)
        return nullptr;
    return Asn1IntegerPtr(BN_to_ASN1_INTEGER(value.get(), nullptr));
}

bool integerToCoordinate(const ASN1_INTEGER* integer, unsigned char* coordinate)
{
    BignumPtr value(ASN1_INTEGER_to_BN(integer, nullptr));
    return value && !BN_is_negative(value.get())
        && BN_bn2binpad(value.get(), coordinate, static_cast<int>(kSm2CoordinateBytes))
        == static_cast<int>(kSm2CoordinateBytes);
}

Asn1OctetStringPtr toOctetString(const unsigned char* bytes, std::size_t len)
{
    Asn1OctetStringPtr string(ASN1_OCTET_STRING_new());
    if (!string || ASN1_OCTET_STRING_set(string.get(), bytes, static_cast<int>(len)) != 1)
        return nullptr;
    return string;
}

} // namespace

int sm2RawToDer(const unsigned char* raw, std::size_t rawLen, SecretBuffer& der)
{
    if (rawLen <= kSm2Overhead || rawLen > INT_MAX / 2)
        return CLKEY_ERR_INTERNAL;
    if (raw[0] != 0x04)
        return CLKEY_ERR_DECRYPT_FAILED;

    const unsigned char* x = raw + 1;
    const unsigned char* y = x + kSm2CoordinateBytes;
    const unsigned char* c3 = raw + kSm2PointBytes;
    const unsigned char* c2 = c3 + kSm2HashBytes;
    Asn1IntegerPtr xInteger = coordinateToInteger(x);
    Asn1IntegerPtr yInteger = coordinateToInteger(y);
    Asn1OctetStringPtr c3String = toOctetString(c3, kSm2HashBytes);
    Asn1OctetStringPtr c2String = toOctetString(c2, rawLen - kSm2Overhead);
    if (!xInteger || !yInteger || !c3String || !c2String)
        return CLKEY_ERR_INTERNAL;

    const int xLen = i2d_ASN1_INTEGER(xInteger.get(), nullptr);
    const int yLen = i2d_ASN1_INTEGER(yInteger.get(), nullptr);
    const int c3Len = i2d_ASN1_OCTET_STRING(c3String.get(), nullptr);
    const int c2Len = i2d_ASN1_OCTET_STRING(c2String.get(), nullptr);
    if (xLen <= 0 || yLen <= 0 || c3Len <= 0 || c2Len <= 0)
        return CLKEY_ERR_INTERNAL;
    const int contentLen = xLen + yLen + c3Len + c2Len;
    const int totalLen = ASN1_object_size(1, contentLen, V_ASN1_SEQUENCE);
    if (totalLen <= 0 || !der.allocate(static_cast<std::size_t>(totalLen)))
        return CLKEY_ERR_INTERNAL;

    unsigned char* p = der.data();
    ASN1_put_object(&p, 1, contentLen, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
    if (i2d_ASN1_INTEGER(xInteger.get(), &p) != xLen || i2d_ASN1_INTEGER(yInteger.get(), &p) != yLen
        || i2d_ASN1_OCTET_STRING(c3String.get(), &p) != c3Len
        || i2d_ASN1_OCTET_STRING(c2String.get(), &p) != c2Len || p != der.data() + totalLen)
        return CLKEY_ERR_INTERNAL;
    return 0;
}

int sm2DerToRaw(const unsigned char* der, std::size_t derLen, std::size_t messageLen,
                unsigned char* raw)
{
    if (derLen > LONG_MAX)
        return CLKEY_ERR_INTERNAL;

    const unsigned char* p = der;
    long contentLen = 0;
    int tag = 0;
    int tagClass = 0;
    // A definite-length, constructed SEQUENCE that fills the input exactly.
    if (ASN1_get_object(&p, &contentLen, &tag, &tagClass, static_cast<long>(derLen))
            != V_ASN1_CONSTRUCTED
        || tag != V_ASN1_SEQUENCE || tagClass != V_ASN1_UNIVERSAL
        || contentLen != static_cast<long>(der + derLen - p))
        return CLKEY_ERR_INTERNAL;

    const unsigned char* end = der + derLen;
    Asn1IntegerPtr xInteger(d2i_ASN1_INTEGER(nullptr, &p, end - p));
    Asn1IntegerPtr yInteger(xInteger ? d2i_ASN1_INTEGER(nullptr, &p, end - p) : nullptr);
    Asn1OctetStringPtr c3String(yInteger ? d2i_ASN1_OCTET_STRING(nullptr, &p, end - p) : nullptr);
    Asn1OctetStringPtr c2String(c3String ? d2i_ASN1_OCTET_STRING(nullptr, &p, end - p) : nullptr);
    if (!c2String || p != end
        || static_cast<std::size_t>(ASN1_STRING_length(c3String.get())) != kSm2HashBytes
        || static_cast<std::size_t>(ASN1_STRING_length(c2String.get())) != messageLen)
        return CLKEY_ERR_INTERNAL;

    raw[0] = 0x04;
    if (!integerToCoordinate(xInteger.get(), raw + 1)
        || !integerToCoordinate(yInteger.get(), raw + 1 + kSm2CoordinateBytes))
        return CLKEY_ERR_INTERNAL;
    std::memcpy(raw + kSm2PointBytes, ASN1_STRING_get0_data(c3String.get()), kSm2HashBytes);
    std::memcpy(raw + kSm2Overhead, ASN1_STRING_get0_data(c2String.get()), messageLen);
    return 0;
}

} // namespace clkey
