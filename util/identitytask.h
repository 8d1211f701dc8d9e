// Takes a loaded device library's identity on a thread of its own. Hashing the file costs time
// that grows with its size, some milliseconds for a library of a few megabytes, and the window
// need not wait for it to be painted.
#ifndef IDENTITYTASK_H
#define IDENTITYTASK_H

#include "util/libraryidentity.h"

#include <functional>
#include <memory>
#include <thread>

class QObject;

class IdentityTask {
public:
    using Done = std::function<void(const LibraryIdentity&)>;

    // Holds the library loaded from fileName (see holdLoadedLibrary) and starts taking its
    // identity. done runs once, on context's thread: from its event loop when the identity is
    // ready, or from finish() if that comes first. context must outlive the task.
    IdentityTask(const QString& fileName, QObject* context, Done done);
    // Waits for the thread; done does not run after this.
    ~IdentityTask();
    IdentityTask(const IdentityTask&) = delete;
    IdentityTask& operator=(const IdentityTask&) = delete;

    // Waits for the identity and runs done now, unless it has run already.
    void finish();

private:
    struct State;
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

#endif
