// Stands for the platform's <binder/IBinder.h>: the base of every binder
// object, local or remote, with the platform's transaction codes.
#pragma once

#include <stdint.h>
#include <utils/Errors.h>
#include <utils/RefBase.h>
#include <utils/String16.h>

namespace android {

class BBinder;
class BpBinder;
class Parcel;

#define B_PACK_CHARS(c1, c2, c3, c4) ((((c1) << 24)) | (((c2) << 16)) | (((c3) << 8)) | (c4))

class IBinder : public virtual RefBase {
  public:
    enum {
        FIRST_CALL_TRANSACTION = 0x00000001,
        LAST_CALL_TRANSACTION = 0x00ffffff,
        PING_TRANSACTION = B_PACK_CHARS('_', 'P', 'N', 'G'),
        INTERFACE_TRANSACTION = B_PACK_CHARS('_', 'N', 'T', 'F'),
        FLAG_ONEWAY = 0x00000001,
    };

    virtual const String16& getInterfaceDescriptor() const = 0;
    virtual status_t transact(uint32_t code, const Parcel& data, Parcel* reply,
                              uint32_t flags = 0) = 0;

    virtual BBinder* localBinder() { return nullptr; }
    virtual BpBinder* remoteBinder() { return nullptr; }

  protected:
    ~IBinder() override = default;
};

static_assert(IBinder::INTERFACE_TRANSACTION == 0x5F4E5446, "'_NTF' packed big-end first");

} // namespace android
