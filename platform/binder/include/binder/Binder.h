// Stands for the platform's <binder/Binder.h>: BBinder, an object that lives
// in this process. transact() hands the call to onTransact(), whose default
// answers the descriptor and ping transactions.
#pragma once

#include <binder/IBinder.h>

namespace android {

class BBinder : public IBinder {
  public:
    BBinder() = default;
    explicit BBinder(const String16& descriptor) : mDescriptor(descriptor) {}

    const String16& getInterfaceDescriptor() const override { return mDescriptor; }
    status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0) final;
    BBinder* localBinder() override { return this; }

  protected:
    ~BBinder() override = default;
    virtual status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply,
                                uint32_t flags = 0);

  private:
    String16 mDescriptor;
};

} // namespace android
