// The library's thread primitives: an event object, a cycling worker thread
// (the device poller and the installation watcher derive from it), and the
// method functors that carry a member-function call to a thread of its own.
// Nothing here lets an exception reach its caller.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>

namespace nork {

// An unnamed event: manual reset (stays set until reset, releases every
// waiter) or auto reset (a wait that sees it set consumes the signal, so one
// waiter is released per set). Any thread may set, reset and wait.
class CSyncEvent {
  public:
    static constexpr std::uint32_t INFINITE_WAIT = 0xFFFFFFFF;

    CSyncEvent(bool manualReset, bool initialState);
    CSyncEvent(const CSyncEvent&) = delete;
    CSyncEvent& operator=(const CSyncEvent&) = delete;

    void set();
    void reset();
    // True when the event was signalled within `milliseconds`
    // (INFINITE_WAIT waits without limit); false on time-out.
    bool wait(std::uint32_t milliseconds);
    void wait();

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    const bool m_manualReset;
    bool m_signalled;
};

// A worker thread that runs cycles: onStart, then run() again and again
// while it is to keep running, waiting for the wake event after each cycle,
// then onStop. pause() lets the current cycle finish and blocks the thread
// before the next; resume() releases it. A thread can be started again
// after stop().
//
// start, stop, pause and resume are called by the owner's thread;
// requestStop by the worker itself (from run). A derived class must call
// stop() in its own destructor: the cycle functions are its members. An
// exception escaping onStart, run or onStop ends the thread.
class CThread {
  public:
    CThread();
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Starts the thread and waits until onStart has run. False when it is
    // running already or the system refused a thread.
    bool start();
    // Ends the thread after its current cycle and waits for it. Returns at
    // once when it is not running. Called from the worker itself it cannot
    // wait for itself and acts as requestStop().
    void stop();
    // Ends the thread after the current cycle, without waiting.
    void requestStop();
    void pause();
    void resume();
    bool isRunning() const { return m_active.load(); }

  protected:
    // One cycle.
    virtual void run() = 0;
    virtual void onStart() {}
    virtual void onStop() {}
    // Called on the caller's thread once stop, requestStop or resume has
    // told the worker: a class whose run() waits on something of its own
    // wakes it here, so the worker does not sleep out that wait.
    virtual void onWake() {}

  private:
    void body();

    std::atomic<bool> m_keepRunning{false};
    std::atomic<bool> m_active{false};
    std::atomic<std::thread::id> m_workerId{};
    CSyncEvent m_started{true, false};
    CSyncEvent m_stopped{true, false};
    CSyncEvent m_wake{true, true};
    std::mutex m_threadMutex;  // guards m_thread between start and stop
    std::thread m_thread;
};

// A call to be made later, on another thread.
class CFunctionCallWrapper {
  public:
    virtual ~CFunctionCallWrapper() = default;
    virtual void call() = 0;
};

// A member-function call with its arguments held by value (a wide string
// argument is copied). call() does nothing without an object or a member
// function.
template <class T, class Method, class... Args>
class TMethodFunctor : public CFunctionCallWrapper {
  public:
    template <class... CallArgs>
    TMethodFunctor(T* object, Method method, CallArgs&&... args)
        : m_object(object), m_method(method), m_args(std::forward<CallArgs>(args)...) {}

    void call() override {
        if (m_object == nullptr || m_method == nullptr)
            return;
        std::apply([this](auto&... args) { (m_object->*m_method)(args...); }, m_args);
    }

  private:
    T* m_object;
    Method m_method;
    std::tuple<std::decay_t<Args>...> m_args;
};

template <class T, class M, class A1>
using MethodFunctor1 = TMethodFunctor<T, M, A1>;
template <class T, class M, class A1, class A2>
using MethodFunctor2 = TMethodFunctor<T, M, A1, A2>;
template <class T, class M, class A1, class A2, class A3>
using MethodFunctor3 = TMethodFunctor<T, M, A1, A2, A3>;
template <class T, class M, class A1, class A2, class A3, class A4>
using MethodFunctor4 = TMethodFunctor<T, M, A1, A2, A3, A4>;
template <class T, class M, class A1, class A2, class A3, class A4, class A5>
using MethodFunctor5 = TMethodFunctor<T, M, A1, A2, A3, A4, A5>;
template <class T, class M, class A1, class A2, class A3, class A4, class A5, class A6>
using MethodFunctor6 = TMethodFunctor<T, M, A1, A2, A3, A4, A5, A6>;

// A functor for object->method(args...), the argument types taken from the
// member function (so a `const std::u16string&` parameter stores a copy).
template <class T, class R, class... Params, class... CallArgs>
std::unique_ptr<CFunctionCallWrapper> makeMethodFunctor(T* object, R (T::*method)(Params...),
                                                        CallArgs&&... args) {
    return std::make_unique<TMethodFunctor<T, R (T::*)(Params...), Params...>>(
        object, method, std::forward<CallArgs>(args)...);
}

// Identifies a thread started by runOnNewThread in logs; 0 = not started.
using CThreadHandle = std::uint64_t;

// Starts a detached thread that calls functor->call() and then destroys the
// functor, also when the call throws (the exception is logged and dropped).
// Returns a process-unique nonzero handle, or 0 when there is no functor or
// no thread could be started (the functor is then destroyed uncalled).
CThreadHandle runOnNewThread(std::unique_ptr<CFunctionCallWrapper> functor);

}  // namespace nork
