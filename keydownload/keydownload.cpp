#include "keydownload/keydownload.h"

#include "keydownload/keywrapper.h"

#include <exception>
#include <string.h>
#include <vector>

namespace {
// Room for any answer: no key library writes kilobytes for a 16-byte key, and what the callers
// accept (at most 511 bytes) lies well inside.
constexpr int kKeyLibraryBuffer = 4096;
}

KeyLibraryResult callKeyLibrary(const QByteArray& key, const QByteArray& data, int algorithm,
                                bool decrypt, int maxLength)
{
    // The wrapper takes non-const pointers: the key library gets copies it may scribble on.
    QByteArray keyCopy = key;
    QByteArray dataCopy = data;
    std::vector<char> out(kKeyLibraryBuffer, '\0');
    KeyLibraryResult result;
    try {
        result.length = pinpadEnAndDec(keyCopy.data(), keyCopy.size(), dataCopy.data(),
                                       dataCopy.size(), out.data(), algorithm, decrypt ? 1 : 0);
        if (result.length <= 0)
            result.outcome = KeyLibraryOutcome::Failed;
        else if (result.length > maxLength)
            result.outcome = KeyLibraryOutcome::TooLong;
        else {
            result.outcome = KeyLibraryOutcome::Done;
            result.bytes = QByteArray(out.data(), result.length);
        }
    } catch (const std::exception& error) {
        result.outcome = KeyLibraryOutcome::Threw;
        // Never null, so that an exception with an empty text still reads as one with a text.
        const char* what = error.what();
        result.thrown = what && *what ? QString::fromLocal8Bit(what) : QStringLiteral("");
    } catch (...) {
        result.outcome = KeyLibraryOutcome::Threw;
    }
    // The buffer held key material (a decrypted PIN block, a plain key); explicit_bzero is a
    // call the compiler may not drop as a dead store.
    explicit_bzero(out.data(), out.size());
    explicit_bzero(keyCopy.data(), static_cast<size_t>(keyCopy.size()));
    explicit_bzero(dataCopy.data(), static_cast<size_t>(dataCopy.size()));
    return result;
}
