// Stands for the platform's BBinder (libbinder): a call on a local object
// goes straight to its onTransact.
#include <binder/Binder.h>

#include <binder/Parcel.h>

namespace android {

status_t BBinder::transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    data.setDataPosition(0);
    status_t err = code == PING_TRANSACTION ? NO_ERROR : onTransact(code, data, reply, flags);
    // The caller reads the reply from its start.
    if (reply != nullptr)
        reply->setDataPosition(0);
    return err;
}

status_t BBinder::onTransact(uint32_t code, const Parcel& /*data*/, Parcel* reply,
                             uint32_t /*flags*/) {
    if (code == INTERFACE_TRANSACTION) {
        if (reply == nullptr)
            return BAD_VALUE;
        return reply->writeString16(getInterfaceDescriptor());
    }
    return UNKNOWN_TRANSACTION;
}

} // namespace android
