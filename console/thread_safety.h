// What each lock guards, said so that the compiler checks it: Clang's
// thread-safety analysis (-Wthread-safety, an error in the static stage)
// reads these annotations; other compilers see nothing. Every type that
// threads share keeps its state behind a Mutex, names what the mutex guards
// with GUARDED_BY, and the functions that expect it held with REQUIRES.
//
// The order in which locks nest, whoever takes them, is written down once,
// in LOCK ORDER below; a lock is never taken while one after it is held.
//
// LOCK ORDER (outermost first):
//   1. LineKeeper::lock_   (the keeper's state; the trace's lock may be taken inside it)
//   2. a journal's lock_   (NumberJournal; inside it the journal file's own lock, a file lock between processes)
//   3. BoxLog::lock_       (the log; inside it the log file's lock)
//   4. PortMonitor::lock_  (one port's view and events; nothing is taken inside it)
//   5. the trace's lock    (console/trace.cpp; innermost: taken inside any of the above)
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define STBLOAD_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define STBLOAD_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) STBLOAD_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY STBLOAD_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) STBLOAD_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) STBLOAD_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) STBLOAD_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) STBLOAD_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) STBLOAD_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) STBLOAD_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) STBLOAD_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) STBLOAD_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) STBLOAD_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// A mutex the analysis knows. Held through MutexLock; waited on through a
// Condition.
class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    friend class Condition;
    std::mutex mutex_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex_;
};

// A condition variable waited on with its Mutex held: the wait lets go of
// it and takes it again before it returns, as std::condition_variable does.
class Condition {
public:
    void notify_one() { condition_.notify_one(); }
    void notify_all() { condition_.notify_all(); }
    // Waits up to `seconds` or until notified (or spuriously): the caller
    // looks at what it waits for again, under the mutex.
    void wait_for(Mutex& mutex, double seconds) REQUIRES(mutex) {
        std::unique_lock<std::mutex> held(mutex.mutex_, std::adopt_lock);
        condition_.wait_for(held, std::chrono::duration<double>(seconds));
        held.release();  // still held: the caller's MutexLock lets go of it
    }

private:
    std::condition_variable condition_;
};
