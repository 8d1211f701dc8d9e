// File hash benchmark: the SHA-256 of a 4 MiB file, a large device library, through libcrypto and
// through Qt, alternately from the same open descriptor with the file in the page cache. Prints
// one table row with the medians and quartiles of each; the goal is the libcrypto figure's.
//
// usage: bench_filehash RUNS
#include "util/filehash.h"
#include "benchtable.h"
#include "monotonicclock.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryFile>

#include <openssl/sha.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

const int kFileBytes = 4 * 1024 * 1024;

// One hash with engine, in milliseconds; negative when its digest is not expected.
double timeHash(int fd, Sha256Engine engine, const QString& expected)
{
    const long long start = monotonicNs();
    const QString digest = descriptorSha256(fd, engine);
    const long long end = monotonicNs();
    return digest == expected ? static_cast<double>(end - start) / 1e6 : -1;
}

} // namespace

int main(int argc, char* argv[])
{
    const int runs = argc == 2 ? std::atoi(argv[1]) : 0;
    if (runs < 1) {
        std::fprintf(stderr, "usage: %s RUNS (at least 1)\n", argv[0]);
        return 2;
    }
    if (!libcryptoSha256Available()) {
        std::fprintf(stderr, "libcrypto's SHA-256 is not found in the process\n");
        return 1;
    }
    // Random bytes, as a library's are to the digest.
    QByteArray content(kFileBytes, '\0');
    std::mt19937 random(18);
    for (char& byte : content)
        byte = static_cast<char>(random());
    QTemporaryFile file;
    if (!file.open() || file.write(content) != kFileBytes || !file.flush()) {
        std::fprintf(stderr, "cannot write a temporary file\n");
        return 1;
    }
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(content.constData()), kFileBytes, digest);
    const QString expected = QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), sizeof digest).toHex());

    std::vector<double> libcrypto, qt;
    for (int run = -1; run < runs; ++run) {
        const double fast = timeHash(file.handle(), Sha256Engine::Libcrypto, expected);
        const double portable = timeHash(file.handle(), Sha256Engine::Qt, expected);
        if (fast < 0 || portable < 0) {
            std::fprintf(stderr, "a digest differs from OpenSSL's SHA256\n");
            return 1;
        }
        if (run >= 0) { // the first of each only brings the file and the code into the caches
            libcrypto.push_back(fast);
            qt.push_back(portable);
        }
    }
    char measure[160];
    std::snprintf(measure, sizeof measure,
                  "SHA-256 of a 4 MiB file: libcrypto vs Qt, ms, median (quartiles) of %d", runs);
    printCeilingRow(measure, libcrypto, qt, 2.0, "ms");
    return 0;
}
