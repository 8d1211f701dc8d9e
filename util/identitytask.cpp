#include "util/identitytask.h"

#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <system_error>

// Shared by the task, its thread and the event that brings the result back: the thread writes
// the identity, marks it ready and posts the event; everything else happens on the context's
// thread, which reads the identity only once it is marked ready.
struct IdentityTask::State {
    LoadedLibrary library;
    LibraryIdentity identity;
    std::atomic<bool> ready{false};
    Done done;
    bool delivered = false;

    // Runs done once, having let go of the library first.
    void deliver()
    {
        if (delivered || !ready.load(std::memory_order_acquire))
            return;
        delivered = true;
        releaseLoadedLibrary(&library);
        done(identity);
    }
};

IdentityTask::IdentityTask(const QString& fileName, QObject* context, Done done)
    : m_state(std::make_shared<State>())
{
    m_state->library = holdLoadedLibrary(fileName);
    m_state->done = std::move(done);
    std::shared_ptr<State> state = m_state;
    const auto identify = [state, context] {
        state->identity = identifyLoadedLibrary(state->library);
        state->ready.store(true, std::memory_order_release);
        QMetaObject::invokeMethod(
            context, [state] { state->deliver(); }, Qt::QueuedConnection);
    };
    try {
        m_thread = std::thread(identify);
    } catch (const std::system_error&) {
        // No thread to be had (a process or memory limit): the identity is taken here instead.
        identify();
    }
}

IdentityTask::~IdentityTask()
{
    if (m_thread.joinable())
        m_thread.join();
    // The posted event may still come, and finds the result delivered.
    m_state->delivered = true;
    releaseLoadedLibrary(&m_state->library);
}

void IdentityTask::finish()
{
    if (m_thread.joinable())
        m_thread.join();
    m_state->deliver();
}
