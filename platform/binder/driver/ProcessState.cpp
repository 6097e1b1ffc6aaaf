// Stands for the platform's ProcessState (libbinder): opens and maps
// /dev/binder once per process and checks the protocol version.
#include <binder/ProcessState.h>

#include <binder/Binder.h>
#include <binder/BpBinder.h>
#include <binder/IPCThreadState.h>
#include <binder/Parcel.h>
#include <fcntl.h>
#include <linux/android/binder.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "../common/runtime.h"

namespace android {

namespace {
constexpr const char kDriver[] = "/dev/binder";
// Room for received transactions; the driver keeps half for async ones.
constexpr size_t kVMSize = 1024 * 1024 - 2 * 4096;
} // namespace

sp<ProcessState> ProcessState::self() {
    // Never destroyed, so the driver stays open for every static's teardown.
    static sp<ProcessState>* gSelf = new sp<ProcessState>(new ProcessState());
    return *gSelf;
}

ProcessState::ProcessState() {
    int fd = open(kDriver, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    struct binder_version vers = {};
    if (ioctl(fd, BINDER_VERSION, &vers) != 0 ||
        vers.protocol_version != BINDER_CURRENT_PROTOCOL_VERSION) {
        close(fd);
        return;
    }
    // One thread serves; the driver must not ask for more.
    uint32_t maxThreads = 0;
    ioctl(fd, BINDER_SET_MAX_THREADS, &maxThreads);
    void* vm = mmap(nullptr, kVMSize, PROT_READ, MAP_PRIVATE | MAP_NORESERVE, fd, 0);
    if (vm == MAP_FAILED) {
        close(fd);
        return;
    }
    mVMStart = vm;
    mVMSize = kVMSize;
    mDriverFd = fd;
}

ProcessState::~ProcessState() {
    if (mVMStart)
        munmap(mVMStart, mVMSize);
    if (mDriverFd >= 0)
        close(mDriverFd);
}

sp<IBinder> ProcessState::getStrongProxyForHandle(uint32_t handle) {
    if (!isOpen())
        return nullptr;
    return new BpBinder(handle);
}

sp<IBinder> ProcessState::getContextObject() {
    sp<IBinder> proxy = getStrongProxyForHandle(0);
    if (proxy == nullptr)
        return nullptr;
    Parcel data, reply;
    if (proxy->transact(IBinder::PING_TRANSACTION, data, &reply, 0) != NO_ERROR)
        return nullptr;
    return proxy;
}

bool ProcessState::becomeContextManager(const sp<BBinder>& obj) {
    if (!isOpen())
        return false;
    uint32_t unused = 0;
    if (ioctl(mDriverFd, BINDER_SET_CONTEXT_MGR, &unused) != 0)
        return false;
    mContextObject = obj;
    return true;
}

sp<IBinder> runtimeProxyForHandle(uint32_t handle) {
    return ProcessState::self()->getStrongProxyForHandle(handle);
}

} // namespace android
