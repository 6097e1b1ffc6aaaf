// Stands for the platform's <binder/BpBinder.h>: the proxy of an object in
// another process, known to the kernel driver by a handle. Only the driver
// runtime creates these.
#pragma once

#include <binder/IBinder.h>

namespace android {

class BpBinder : public IBinder {
  public:
    explicit BpBinder(uint32_t handle);

    uint32_t handle() const { return mHandle; }
    // Asks the remote object; empty when it does not answer.
    const String16& getInterfaceDescriptor() const override;
    status_t transact(uint32_t code, const Parcel& data, Parcel* reply,
                      uint32_t flags = 0) override;
    BpBinder* remoteBinder() override { return this; }

  protected:
    ~BpBinder() override;

  private:
    const uint32_t mHandle;
    mutable String16 mDescriptor;
};

} // namespace android
