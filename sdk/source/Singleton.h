// Process-wide singletons destroyed at exit in order of longevity: every
// created instance registers a lifetime tracker in one array kept sorted by
// longevity (descending), and one exit handler per tracker destroys the last
// entry, so the lowest longevity goes first and the log handler (longevity
// 0xFFFFFFFF) last. TSingleton creates under a lock with a second check
// inside it; TSimpleSingleton creates without a lock and relies on being
// first used inside SDK::init.
#pragma once

#include <atomic>
#include <mutex>

namespace nork {

// A critical section: recursive, as the callers re-enter it.
class CThreadMutex {
  public:
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }
    bool try_lock() { return m_mutex.try_lock(); }

  private:
    std::recursive_mutex m_mutex;
};

class CNullMutex {
  public:
    void lock() {}
    void unlock() {}
    bool try_lock() { return true; }
};

class CLifeTimeTracker {
  public:
    explicit CLifeTimeTracker(unsigned int longevity) : m_longevity(longevity) {}
    virtual ~CLifeTimeTracker() = default;
    CLifeTimeTracker(const CLifeTimeTracker&) = delete;
    CLifeTimeTracker& operator=(const CLifeTimeTracker&) = delete;

    unsigned int longevity() const { return m_longevity; }

  private:
    unsigned int m_longevity;
};

template <class T>
struct CSimpleDeleter {
    static void destroy(T* p) { delete p; }
};

template <class T, class Destroyer = CSimpleDeleter<T>>
class TConcreteLifeTimeTracker : public CLifeTimeTracker {
  public:
    TConcreteLifeTimeTracker(T* object, unsigned int longevity, void (*onDestroyed)())
        : CLifeTimeTracker(longevity), m_object(object), m_onDestroyed(onDestroyed) {}
    ~TConcreteLifeTimeTracker() override {
        if (m_onDestroyed != nullptr)
            m_onDestroyed();
        Destroyer::destroy(m_object);
    }

  private:
    T* m_object;
    void (*m_onDestroyed)();
};

// Enters a tracker in the process-wide array and registers its exit handler.
// Growing the array may throw std::bad_alloc; the tracker is then deleted
// (destroying its object) before the exception propagates.
void registerLifeTimeTracker(CLifeTimeTracker* tracker);

// Number of trackers still alive (for tests and diagnostics).
std::size_t lifeTimeTrackerCount();

template <class T, class MutexT = CThreadMutex, unsigned int Longevity = 1>
class TSingleton {
  public:
    // Creates on first use. After the exit handlers destroyed the instance a
    // late caller gets a fresh one, registered again, rather than a dangling
    // reference.
    static T& instance() {
        T* p = s_instance.load(std::memory_order_acquire);
        if (p == nullptr) {
            std::lock_guard<MutexT> guard(creationMutex());
            p = s_instance.load(std::memory_order_relaxed);
            if (p == nullptr) {
                p = new T();
                s_instance.store(p, std::memory_order_release);
                s_destroyed.store(false, std::memory_order_release);
                registerLifeTimeTracker(
                    new TConcreteLifeTimeTracker<T>(p, Longevity, &onDestroyed));
            }
        }
        return *p;
    }

    // The instance when it exists, without creating it.
    static T* existing() { return s_instance.load(std::memory_order_acquire); }
    static bool destroyed() { return s_destroyed.load(std::memory_order_acquire); }

  private:
    static MutexT& creationMutex() {
        static MutexT mutex;
        return mutex;
    }
    static void onDestroyed() {
        s_destroyed.store(true, std::memory_order_release);
        s_instance.store(nullptr, std::memory_order_release);
    }

    static inline std::atomic<T*> s_instance{nullptr};
    static inline std::atomic<bool> s_destroyed{false};
};

template <class T, unsigned int Longevity = 1>
class TSimpleSingleton {
  public:
    static T& instance() {
        T* p = s_instance.load(std::memory_order_acquire);
        if (p == nullptr) {
            p = new T();
            s_instance.store(p, std::memory_order_release);
            registerLifeTimeTracker(new TConcreteLifeTimeTracker<T>(p, Longevity, &onDestroyed));
        }
        return *p;
    }
    static T* existing() { return s_instance.load(std::memory_order_acquire); }

  private:
    static void onDestroyed() { s_instance.store(nullptr, std::memory_order_release); }
    static inline std::atomic<T*> s_instance{nullptr};
};

}  // namespace nork
