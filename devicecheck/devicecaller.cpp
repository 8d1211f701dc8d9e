#include "devicecheck/devicecaller.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {
// A byte of the guard pattern: never NUL, so a device that writes no text leaves no terminator,
// and varying, so that a copy of one stretch of the pattern elsewhere still shows.
char guardByte(int offset)
{
    return static_cast<char>(0x80 | ((offset * 37 + 11) & 0x7F));
}

// Shared by the waiting caller and the worker: a worker that returns after the caller gave up
// still owns its buffer and writes into nothing that is gone.
struct PendingCall {
    std::function<int(char*)> body;
    std::vector<char> out;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool threw = false;
    int code = 0;
    double milliseconds = 0;
};

void runPending(const std::shared_ptr<PendingCall>& pending)
{
    int code = 0;
    bool threw = false;
    const auto start = std::chrono::steady_clock::now();
    try {
        code = pending->body(pending->out.data());
    } catch (...) {
        threw = true;
    }
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;
    std::lock_guard<std::mutex> lock(pending->mutex);
    pending->code = code;
    pending->threw = threw;
    pending->milliseconds = elapsed.count();
    pending->finished = true;
    pending->done.notify_one();
}
}

DeviceCaller::DeviceCaller(int timeoutSeconds)
    : m_timeoutSeconds(timeoutSeconds)
{
}

CallResult DeviceCaller::call(const QString& function, std::function<int(char* out)> body)
{
    CallResult result;
    if (m_stopped)
        return result;

    auto pending = std::make_shared<PendingCall>();
    pending->body = std::move(body);
    pending->out.resize(kBufferSize);
    for (int i = 0; i < kBufferSize; ++i)
        pending->out[static_cast<size_t>(i)] = guardByte(i);

    try {
        std::thread(runPending, pending).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the call is made here, without a bound on its time.
        runPending(pending);
    }

    std::unique_lock<std::mutex> lock(pending->mutex);
    if (!pending->done.wait_for(lock, std::chrono::seconds(m_timeoutSeconds),
                                [&pending] { return pending->finished; })) {
        m_stopped = true;
        return result;
    }
    result.returned = !pending->threw;
    result.threw = pending->threw;
    result.code = pending->code;
    result.milliseconds = pending->milliseconds;
    result.out = QByteArray(pending->out.data(), kBufferSize);
    record(function, pending->milliseconds);
    return result;
}

int DeviceCaller::firstOverwritten(const QByteArray& out, int from)
{
    for (int i = qMax(from, 0); i < out.size(); ++i)
        if (out[i] != guardByte(i))
            return i;
    return -1;
}

int DeviceCaller::overwrittenCount(const QByteArray& out, int from)
{
    int count = 0;
    for (int i = qMax(from, 0); i < out.size(); ++i)
        if (out[i] != guardByte(i))
            ++count;
    return count;
}

void DeviceCaller::record(const QString& function, double milliseconds)
{
    for (FunctionTimings& timings : m_timings) {
        if (timings.function == function) {
            timings.milliseconds.append(milliseconds);
            return;
        }
    }
    m_timings.append({function, {milliseconds}});
}
