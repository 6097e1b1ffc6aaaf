#include "sample_services.h"

#include <binder/Parcel.h>

using namespace android;

namespace samples {

status_t EchoService::onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    if (code == INTERFACE_TRANSACTION)
        return BBinder::onTransact(code, data, reply, flags);
    if (reply == nullptr)
        return NO_ERROR;
    reply->writeUint32(code);
    reply->writeUint32(flags);
    return reply->write(data.data(), data.dataSize());
}

status_t NoInterfaceService::onTransact(uint32_t code, const Parcel& data, Parcel* reply,
                                        uint32_t flags) {
    if (code == INTERFACE_TRANSACTION)
        return PERMISSION_DENIED;
    return BBinder::onTransact(code, data, reply, flags);
}

status_t FailsAfterReplyService::onTransact(uint32_t code, const Parcel& data, Parcel* reply,
                                            uint32_t flags) {
    const status_t err = EchoService::onTransact(code, data, reply, flags);
    if (code == INTERFACE_TRANSACTION && !mFailDescriptor)
        return err;
    return FAILED_TRANSACTION;
}

status_t registerSampleServices(IServiceManager& sm) {
    const sp<IBinder> services[] = {new EchoService(kEchoDescriptor), new BBinder(),
                                    new NoInterfaceService()};
    const char* names[] = {kEchoName, "anonymous", "mute"};
    for (size_t i = 0; i < 3; ++i) {
        status_t err = sm.addService(String16(names[i]), services[i]);
        if (err != NO_ERROR)
            return err;
    }
    return NO_ERROR;
}

} // namespace samples
