#ifndef VX_THREAD_H
#define VX_THREAD_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

// A worker thread owned by an object. Derived classes supply Entry(); the
// agent starts it with Create() and asks it to stop with Terminate().
class vxThread
{
public:
    explicit vxThread(const std::string &tag);
    // A derived class must Join() in its own destructor: by the time this one
    // runs, Entry() can no longer be running safely.
    virtual ~vxThread();

    vxThread(const vxThread &) = delete;
    vxThread &operator=(const vxThread &) = delete;

    virtual void Create();
    virtual void *Entry() = 0;
    virtual void Terminate();

    // Waits for Entry() to return; returns at once when no thread runs.
    void Join();

    void Lock() { lock.lock(); }
    void Unlock() { lock.unlock(); }

    const std::string &GetTag() const noexcept { return tag; }

protected:
    std::string tag;
    std::atomic<bool> terminate{ false };

private:
    void Run();

    std::mutex lock;
    std::thread thread;
};

#endif
