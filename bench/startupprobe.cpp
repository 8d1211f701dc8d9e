#include "startupprobe.h"
#include "monotonicclock.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

namespace {

// A "Key:   value kB" line of /proc/self/status, in KiB; -1 when absent.
long long statusKib(const char* key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

bool mapped(const char* suffix)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : maps.readAll().split('\n')) {
        if (line.trimmed().endsWith(suffix))
            return true;
    }
    return false;
}

// Notes the window's first paint. The measurement is taken from a zero timer queued by it, so
// that the whole first repaint (children included) and its flush have finished.
class FirstPaintFilter : public QObject {
public:
    FirstPaintFilter(QObject* parent, long long* shownNs)
        : QObject(parent)
        , m_shownNs(shownNs)
    {
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            QTimer::singleShot(0, this, [this] {
                *m_shownNs = monotonicNs();
                QCoreApplication::quit();
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    long long* m_shownNs;
    bool m_seen = false;
};

} // namespace

int runStartupProbe(QApplication& application, QWidget& window, const char* requiredMapping)
{
    const char* spawn = std::getenv("BENCH_SPAWN_NS");
    if (!spawn || !*spawn) {
        std::fprintf(stderr, "BENCH_SPAWN_NS is not set: start this program from bench_startup\n");
        return 1;
    }
    const long long spawnNs = std::atoll(spawn);

    long long shownNs = 0;
    window.installEventFilter(new FirstPaintFilter(&window, &shownNs));
    // A window that never paints must not hang the benchmark.
    QTimer::singleShot(20000, &application, [] { QCoreApplication::exit(2); });
    window.show();
    if (application.exec() != 0 || shownNs == 0) {
        std::fprintf(stderr, "the window was not painted within 20 s\n");
        return 1;
    }
    if (requiredMapping && !mapped(requiredMapping)) {
        std::fprintf(stderr, "%s is not loaded when the window is shown\n", requiredMapping);
        return 1;
    }
    std::printf("startup_ns=%lld vmhwm_kib=%lld\n", shownNs - spawnNs, statusKib("VmHWM"));
    return 0;
}
