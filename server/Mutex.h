// The lock type of the server, with clang's thread-safety annotations so that a build
// with -Wthread-safety checks every access to guarded data at compile time.
#pragma once

#include <pthread.h>

#if defined(__clang__)
#define QS_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QS_THREAD_ANNOTATION(x)
#endif

#define QS_CAPABILITY(x) QS_THREAD_ANNOTATION(capability(x))
#define QS_SCOPED_CAPABILITY QS_THREAD_ANNOTATION(scoped_lockable)
#define QS_GUARDED_BY(x) QS_THREAD_ANNOTATION(guarded_by(x))
#define QS_REQUIRES(...) QS_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QS_ACQUIRE(...) QS_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QS_RELEASE(...) QS_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QS_EXCLUDES(...) QS_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QS_NO_THREAD_SAFETY_ANALYSIS QS_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace qs {

// Holdings are short (a roster change, one broadcast's queue appends), so a waiter spins
// briefly before it sleeps: sleeping and waking costs more than the wait itself.
class QS_CAPABILITY("mutex") TMutex {
 public:
  TMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&mutex_, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  ~TMutex() { pthread_mutex_destroy(&mutex_); }
  TMutex(const TMutex&) = delete;
  TMutex& operator=(const TMutex&) = delete;

  void Lock() QS_ACQUIRE() { pthread_mutex_lock(&mutex_); }
  void Unlock() QS_RELEASE() { pthread_mutex_unlock(&mutex_); }
  // Tells the analysis that the caller holds the lock where it cannot see it (callbacks).
  void AssertHeld() const QS_THREAD_ANNOTATION(assert_capability(this)) {}

 private:
  pthread_mutex_t mutex_;
};

// Holds a TMutex for the guard's scope; every use names its scope in a comment.
class QS_SCOPED_CAPABILITY TMutexLock {
 public:
  explicit TMutexLock(TMutex& mutex) QS_ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~TMutexLock() QS_RELEASE() { mutex_.Unlock(); }
  TMutexLock(const TMutexLock&) = delete;
  TMutexLock& operator=(const TMutexLock&) = delete;

 private:
  TMutex& mutex_;
};

}  // namespace qs

// An unnamed guard would unlock at the end of its own statement.
#define TMutexLock(x) static_assert(false, "TMutexLock needs a variable name")
