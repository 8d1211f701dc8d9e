// Start-up benchmark, reference side: a bare dialog built the way the tool builds its window
// (same title and size, a tab widget with one empty tab of the same caption above a text edit
// in a vertical box layout), with no panels. Built twice: bare, with no key library and no device
// library; and as the floor (STARTUP_FLOOR), linked to the key library, and so libcrypto, and
// loading the device library as the window does: what the tool must load, and nothing else.
// Once its window is shown, the floor times the window's other work for the device library, its
// identity, with the same calls made for the first time in the process, as the window makes them.
#include "monotonicclock.h"
#include "startupprobe.h"

#include <QApplication>
#include <QDialog>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>

#ifdef STARTUP_FLOOR
#include "util/filehash.h"
#include "util/libraryidentity.h"

#include <QFile>
#include <QLibrary>

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <string>

#ifdef STARTUP_FLOOR
namespace {

// Nanoseconds and CPU nanoseconds that call takes.
template <typename Call>
std::string timed(const char* name, Call call)
{
    const long long start = monotonicNs();
    const long long cpuStart = processCpuNs();
    call();
    const long long cpu = processCpuNs() - cpuStart;
    const long long wall = monotonicNs() - start;
    return std::string(" ") + name + "_ns=" + std::to_string(wall) + " " + name
        + "_cpu_ns=" + std::to_string(cpu);
}

// " hash_ns=… identity_ns=… hash_again_ns=…" with their _cpu_ns, " hash_bytes=<b>
// hash_engine=<libcrypto|Qt>": the hash of the device library, the first in the process; the
// identity as the window takes it (maps lookup, checks and a hash); and the hash again, which the
// identity's own hash costs once the code and buffers are warm.
std::string timeIdentity(const QLibrary& library)
{
    const QString path = requestedPath(library.fileName());
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    struct stat status { };
    if (fd < 0 || fstat(fd, &status) != 0) {
        std::perror("device library");
        return std::string();
    }
    QString first, again;
    LibraryIdentity identity;
    std::string times = timed("hash", [&] { first = descriptorDigest(fd); });
    times += timed("identity", [&] { identity = identifyLibrary(library, fileState(status)); });
    times += timed("hash_again", [&] { again = descriptorDigest(fd); });
    close(fd);
    if (!identity.confirmed() || first != identity.sha256 || again != identity.sha256) {
        std::fprintf(stderr,
                     "the device library's identity is not confirmed, or its hash "
                     "differs\n");
        return std::string();
    }
    return times + " hash_bytes=" + std::to_string(status.st_size);
}

} // namespace
#endif

int main(int argc, char* argv[])
{
    StartupMarks marks;
    marks.mainNs = monotonicNs();
    marks.mainCpuNs = processCpuNs();
    QApplication application(argc, argv);
    QDialog dialog;

    QTabWidget* tabs = new QTabWidget();
    tabs->addTab(new QWidget(), QStringLiteral("密码键盘"));
    QTextEdit* log = new QTextEdit();
    log->setMaximumHeight(200);

    QVBoxLayout* layout = new QVBoxLayout();
    layout->addWidget(tabs);
    layout->addWidget(log);
    dialog.setLayout(layout);

    dialog.resize(800, 600);
    dialog.setWindowTitle(QStringLiteral("测试工具"));

#ifdef STARTUP_FLOOR
    // Loaded as the window loads it (every symbol bound at once), where the window does: after
    // building its widgets.
    const long long loadStart = monotonicNs();
    const long long loadCpuStart = processCpuNs();
    QLibrary library(QStringLiteral("./quorvel/libClientScreen.so"));
    library.setLoadHints(QLibrary::ResolveAllSymbolsHint);
    if (!library.load()) {
        std::fprintf(stderr, "%s\n", qPrintable(library.errorString()));
        return 1;
    }
    const std::string loaded = " load_ns=" + std::to_string(monotonicNs() - loadStart)
        + " load_cpu_ns=" + std::to_string(processCpuNs() - loadCpuStart);
    marks.constructedNs = monotonicNs();
    marks.constructedCpuNs = processCpuNs();
    return runStartupProbe(application, dialog, marks, "/quorvel/libClientScreen.so", [&] {
        const std::string identity = timeIdentity(library);
        return identity.empty() ? identity : loaded + identity;
    });
#else
    marks.constructedNs = monotonicNs();
    marks.constructedCpuNs = processCpuNs();
    return runStartupProbe(application, dialog, marks, nullptr);
#endif
}
