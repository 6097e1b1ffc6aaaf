// Stands for the platform's BpBinder (libbinder): a handle in the driver,
// holding one strong reference on the remote object while it lives.
#include <binder/BpBinder.h>

#include <binder/IPCThreadState.h>
#include <binder/Parcel.h>

namespace android {

BpBinder::BpBinder(uint32_t handle) : mHandle(handle) {
    IPCThreadState::self()->incStrongHandle(handle);
}

BpBinder::~BpBinder() {
    IPCThreadState::self()->decStrongHandle(mHandle);
    IPCThreadState::self()->flushCommands();
}

const String16& BpBinder::getInterfaceDescriptor() const {
    if (mDescriptor.size() == 0) {
        Parcel data, reply;
        if (IPCThreadState::self()->transact(mHandle, INTERFACE_TRANSACTION, data, &reply, 0) ==
            NO_ERROR) {
            mDescriptor = reply.readString16();
        }
    }
    return mDescriptor;
}

status_t BpBinder::transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    return IPCThreadState::self()->transact(mHandle, code, data, reply, flags);
}

} // namespace android
