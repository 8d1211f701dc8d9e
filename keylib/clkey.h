// Key library: SM2 and SM4 key encryption for the PIN pad tool, built on OpenSSL's libcrypto.
// Stands in for the vendor's closed key library of the same shape (libopenssl.so).
#ifndef CLKEY_H
#define CLKEY_H

// Algorithm codes taken by EncodeKey and DecodeKey.
enum CLKeyAlgorithm {
    CLKEY_ALG_SM4_ECB = 2, // 16-byte key; data a positive multiple of 16 bytes, at most 1 MiB;
                           // no padding, so the output is as long as the data
    CLKEY_ALG_SM2 = 5      // encrypt: 64-byte X||Y or 65-byte 04||X||Y public key, 1 to 4096
                           // bytes of data; decrypt: 32-byte private key; ciphertext C1||C3||C2,
                           // 97 bytes longer than the data (C1 65 bytes 04||X||Y, C3 32 bytes)
};

// Key-type code taken by GenerateKey.
enum CLKeyType {
    CLKEY_TYPE_SM2 = 5 // public key 64 bytes X||Y, private key 32 bytes
};

// Negative results of EncodeKey and DecodeKey. Nothing is written to the output on any of them.
enum CLKeyError {
    CLKEY_ERR_NULL_POINTER = -1,        // key, data or output pointer is null
    CLKEY_ERR_KEY_LENGTH = -2,          // key length does not fit the algorithm
    CLKEY_ERR_DATA_LENGTH = -3,         // data length does not fit the algorithm
    CLKEY_ERR_UNKNOWN_ALGORITHM = -4,   // algorithm code is neither 2 nor 5
    CLKEY_ERR_INVALID_PUBLIC_KEY = -5,  // SM2 public key is not a point on the curve
    CLKEY_ERR_INVALID_PRIVATE_KEY = -6, // SM2 private key is zero or not below the group order
    CLKEY_ERR_DECRYPT_FAILED = -7, // SM2 ciphertext malformed or tampered (C1 or C3 check failed)
    CLKEY_ERR_INTERNAL = -8        // libcrypto failed on valid input (out of memory)
};

class CLKey {
public:
    CLKey();
    virtual ~CLKey();

    // Encrypts dataLen bytes of data under key with algorithm alg into out.
    // Returns the number of bytes written to out, or a CLKeyError.
    int EncodeKey(char* key, int keyLen, char* data, int dataLen, char* out, int alg);
    // Decrypts dataLen bytes of data under key with algorithm alg into out.
    // Returns the number of bytes written to out, or a CLKeyError.
    int DecodeKey(char* key, int keyLen, char* data, int dataLen, char* out, int alg);
    // Generates a key pair of the given type into the two buffers and sets both lengths.
    // Returns 1 on success, 0 for an unknown type or a failure (lengths then set to 0).
    int GenerateKey(void* publicKey, int& publicLen, void* privateKey, int& privateLen, int type);
};

class CLKeyManage : public CLKey {
public:
    // The two texts name a key store and its password on the vendor's library; the stand-in
    // keeps no keys and ignores them (null is accepted).
    CLKeyManage(char* store, char* password);
    ~CLKeyManage() override;
};

// Writes len bytes as uppercase hex, two characters a byte, no terminating NUL.
// Returns the number of characters written.
int ConvAscii(unsigned char* bytes, char* text, unsigned int len);

#endif
