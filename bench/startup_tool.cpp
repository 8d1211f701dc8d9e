// Start-up benchmark, tool side: the tool's own start-up (app/main.cpp), run in a working
// directory holding quorvel/libClientScreen.so, measured up to its first paint. Once the window
// is shown, it times the window's identity of the device library again, with the same calls, and
// the hash within it: the start-up itself carries no timing code.
#include "app/mainwindow.h"
#include "monotonicclock.h"
#include "startupprobe.h"
#include "util/filehash.h"
#include "util/libraryidentity.h"

#include <QApplication>
#include <QFile>
#include <QLibrary>

#include <cstdio>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kDevicePath[] = "./quorvel/libClientScreen.so";

// " identity_ns=<i> hash_ns=<h> identity_cpu_ns=… hash_cpu_ns=… hash_bytes=<b>
// hash_engine=<libcrypto|Qt>": the identity as the window takes it (maps lookup, checks and
// hash), and the hash alone of the same file, in time and in CPU time.
std::string timeIdentity()
{
    const QLibrary library(QString::fromLatin1(kDevicePath));
    const long long identityStart = monotonicNs();
    const long long identityCpuStart = processCpuNs();
    const LibraryIdentity identity = identifyLibrary(library);
    const long long identityCpu = processCpuNs() - identityCpuStart;
    const long long identityEnd = monotonicNs();
    if (!identity.confirmed) {
        std::fprintf(stderr, "the device library's identity is not confirmed\n");
        return std::string();
    }
    const int fd = open(QFile::encodeName(identity.path).constData(), O_RDONLY | O_CLOEXEC);
    struct stat status { };
    if (fd < 0 || fstat(fd, &status) != 0) {
        std::perror("device library");
        return std::string();
    }
    const long long hashStart = monotonicNs();
    const long long hashCpuStart = processCpuNs();
    const QString sha256 = descriptorSha256(fd);
    const long long hashCpu = processCpuNs() - hashCpuStart;
    const long long hashEnd = monotonicNs();
    close(fd);
    if (sha256 != identity.sha256) {
        std::fprintf(stderr, "the device library's hash differs from its identity's\n");
        return std::string();
    }
    return " identity_ns=" + std::to_string(identityEnd - identityStart) + " hash_ns="
        + std::to_string(hashEnd - hashStart) + " identity_cpu_ns=" + std::to_string(identityCpu)
        + " hash_cpu_ns=" + std::to_string(hashCpu)
        + " hash_bytes=" + std::to_string(status.st_size)
        + " hash_engine=" + (libcryptoSha256Available() ? "libcrypto" : "Qt");
}

} // namespace

int main(int argc, char* argv[])
{
    StartupMarks marks;
    marks.mainNs = monotonicNs();
    marks.mainCpuNs = processCpuNs();
    QApplication application(argc, argv);
    MainWindow window;
    marks.constructedNs = monotonicNs();
    marks.constructedCpuNs = processCpuNs();
    // The window must be bound to the device library, which it loads in its constructor.
    return runStartupProbe(application, window, marks, "/quorvel/libClientScreen.so", timeIdentity);
}
