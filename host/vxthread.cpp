#include <exception>

#include "vxlog.h"
#include "vxthread.h"

vxThread::vxThread(const std::string &tag) : tag(tag) { }

vxThread::~vxThread()
{
    // Last resort for a derived class that did not join: never destroy a
    // joinable std::thread, which would terminate the agent.
    if (thread.joinable()) {
        terminate = true;
        thread.join();
    }
}

void vxThread::Create()
{
    thread = std::thread(&vxThread::Run, this);
}

void vxThread::Terminate() { terminate = true; }

void vxThread::Join()
{
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
        thread.join();
}

void vxThread::Run()
{
    // An exception escaping a plug-in's thread must end that thread only,
    // never the agent's process.
    try {
        Entry();
    }
    catch (const std::exception &e) {
        vx_printf("%s: thread ended by exception: %s\n", tag.c_str(), e.what());
    }
    catch (...) {
        vx_printf("%s: thread ended by unknown exception\n", tag.c_str());
    }
}
