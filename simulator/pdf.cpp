// PDF display and confirmation. The simulator has no screen: it checks that the file is a PDF it
// could show, and its user always confirms.
#include "clientscreen.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char kPdfMagic[] = "%PDF-";
constexpr std::size_t kPdfMagicLength = sizeof kPdfMagic - 1;

// Reads up to count bytes; returns how many, or -1 on a read error.
ssize_t readUpTo(int fd, char* buffer, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = read(fd, buffer + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int checkPdf(int timeout, const char* path)
{
    if (timeout < 0)
        return CS_ERR_NEGATIVE_TIMEOUT;
    // O_NONBLOCK keeps a FIFO from stalling the open; it is then refused as not a regular file.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? CS_ERR_PDF_MISSING : CS_ERR_PDF_UNREADABLE;

    int result = CS_OK;
    struct stat info;
    char head[kPdfMagicLength];
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        result = CS_ERR_PDF_UNREADABLE;
    } else {
        const ssize_t n = readUpTo(fd, head, sizeof head);
        if (n < 0)
            result = CS_ERR_PDF_UNREADABLE;
        else if (static_cast<std::size_t>(n) < kPdfMagicLength
                 || std::memcmp(head, kPdfMagic, kPdfMagicLength) != 0)
            result = CS_ERR_PDF_NOT_PDF;
    }
    close(fd);
    return result;
}
}

int MP_SHOW_PDF(int, const char*, int, int timeout, const char* path)
{
    if (!path)
        return CS_ERR_NULL_INPUT;
    return checkPdf(timeout, path);
}

int MP_ConfirmPDF(int, const char*, int, int timeout, const char* path, char* out)
{
    if (!path)
        return CS_ERR_NULL_INPUT;
    if (!out)
        return CS_ERR_NULL_OUTPUT;
    const int checked = checkPdf(timeout, path);
    if (checked != CS_OK)
        return checked;
    out[0] = '1';
    out[1] = '\0';
    return CS_OK;
}
