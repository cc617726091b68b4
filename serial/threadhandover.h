#ifndef THREADHANDOVER_H
#define THREADHANDOVER_H

#include <atomic>
#include <utility>

// ThreadSanitizer cannot see Qt's own locking: its mutexes and semaphores sit
// on raw futexes inside a library built without the sanitizer, so work handed
// to another thread through Qt's event queue looks unordered to it. These
// mark both ends of such a hand-over; in any other build they are empty.
#if defined(__SANITIZE_THREAD__)
#define KAVRO_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KAVRO_THREAD_SANITIZER 1
#endif
#endif

#ifdef KAVRO_THREAD_SANITIZER
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
#endif

namespace ThreadHandOver
{

inline void release(const void *token)
{
#ifdef KAVRO_THREAD_SANITIZER
    __tsan_release(const_cast<void *>(token));
#else
    (void)token;
#endif
}

inline void acquire(const void *token)
{
#ifdef KAVRO_THREAD_SANITIZER
    __tsan_acquire(const_cast<void *>(token));
#else
    (void)token;
#endif
}

// Marks everything a thread did in a scope as handed over when it leaves.
class ReleaseOnExit
{
public:
    explicit ReleaseOnExit(const void *token) : token(token) {}
    ReleaseOnExit(const ReleaseOnExit &) = delete;
    ReleaseOnExit &operator=(const ReleaseOnExit &) = delete;
    ~ReleaseOnExit() { release(token); }

private:
    const void *token;
};

// Work to be posted to another thread's event queue. Moving it into Qt's
// slot object marks the post; running it and destroying it take up whatever
// the other side marked before.
template <typename F> class Work
{
public:
    Work(const void *token, F &&work) : work(std::move(work)) { setToken(token); }
    Work(Work &&other) : work(std::move(other.work))
    {
        setToken(other.token.load(std::memory_order_relaxed));
        release(token.load(std::memory_order_relaxed));
    }
    Work(const Work &) = delete;
    Work &operator=(const Work &) = delete;
    Work &operator=(Work &&) = delete;
    ~Work() { acquire(token.load(std::memory_order_relaxed)); }

    void operator()()
    {
        acquire(token.load(std::memory_order_relaxed));
        work();
        release(token.load(std::memory_order_relaxed));
    }

private:
    // Stored and read atomically: the receiving side reads it before it can
    // take up the hand-over.
    void setToken(const void *t) { token.store(t, std::memory_order_relaxed); }

    std::atomic<const void *> token;
    F work;
};

template <typename F> Work<F> work(const void *token, F &&f)
{
    return Work<F>(token, std::forward<F>(f));
}

} // namespace ThreadHandOver

#endif
