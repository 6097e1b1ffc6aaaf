// Stands for the platform's <binder/ProcessState.h>: this process's
// connection to the kernel binder driver (/dev/binder, opened and mapped
// once).
#pragma once

#include <stddef.h>
#include <utils/RefBase.h>
#include <utils/StrongPointer.h>

#include <binder/IBinder.h>

namespace android {

class ProcessState : public virtual RefBase {
  public:
    static sp<ProcessState> self();

    // False when the driver could not be opened, mapped or has another
    // protocol version; every call then fails without touching the driver.
    bool isOpen() const { return mDriverFd >= 0; }
    int driverFd() const { return mDriverFd; }

    // Handle 0 is the registry, when a process has made itself the
    // context manager; null when none answers a ping.
    sp<IBinder> getContextObject();
    sp<IBinder> getStrongProxyForHandle(uint32_t handle);

    // Makes this process the registry (handle 0) served by obj.
    bool becomeContextManager(const sp<BBinder>& obj);
    const sp<BBinder>& contextObject() const { return mContextObject; }

  private:
    ProcessState();
    ~ProcessState() override;

    int mDriverFd = -1;
    void* mVMStart = nullptr;
    size_t mVMSize = 0;
    sp<BBinder> mContextObject;
};

} // namespace android
