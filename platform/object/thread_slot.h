#pragma once
// Per-thread state that is destroyed when its thread ends, on a thread key.
//
// A C++ thread_local with a destructor registers that destructor on the
// thread's first use, and registering takes the dynamic loader's lock. A
// library being unloaded holds that lock while its detach code waits for its
// threads to end, so a thread that touched such state for the first time just
// then could never end. A thread key takes no loader lock.

#include <pthread.h>

namespace ob {

template <class T>
class ThreadSlot {
public:
    ThreadSlot() { pthread_key_create(&key_, [](void* p) { delete static_cast<T*>(p); }); }
    // The key lives as long as the process: threads may end after static
    // destruction has begun.
    ThreadSlot(const ThreadSlot&) = delete;
    ThreadSlot& operator=(const ThreadSlot&) = delete;

    // The calling thread's state, made on first use.
    T& get()
    {
        auto* p = static_cast<T*>(pthread_getspecific(key_));
        if (p == nullptr) {
            p = new T();
            pthread_setspecific(key_, p);
        }
        return *p;
    }

private:
    pthread_key_t key_{};
};

} // namespace ob
