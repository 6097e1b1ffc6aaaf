// Stands for the platform's <binder/Parcel.h>: a flat buffer of items in the
// binder wire format. Little-endian, every item padded to 4 bytes; binder
// objects are flat_binder_object records whose offsets the parcel lists for
// the kernel driver.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <utils/Errors.h>
#include <utils/String16.h>
#include <utils/StrongPointer.h>
#include <utils/Vector.h>
#include <vector>

#include <binder/IBinder.h>

namespace android {

class TextOutput;

class Parcel {
  public:
    Parcel();
    ~Parcel();
    Parcel(const Parcel&) = delete;
    Parcel& operator=(const Parcel&) = delete;

    const uint8_t* data() const;
    size_t dataSize() const;
    size_t dataAvail() const;
    size_t dataPosition() const { return mPos; }
    void setDataPosition(size_t pos) const;
    void freeData();

    // Raw bytes, padded to 4 with zeros.
    status_t write(const void* data, size_t len);
    status_t writeInt32(int32_t val);
    status_t writeUint32(uint32_t val);
    status_t writeString16(const String16& str);
    // A null str writes the null-string marker -1.
    status_t writeString16(const char16_t* str, size_t len);
    status_t writeInterfaceToken(const String16& interface);
    status_t writeStrongBinder(const sp<IBinder>& val);

    // Reads past the end give 0 / empty / null and BAD_VALUE from the
    // status forms; the position then stays where it was.
    const void* readInplace(size_t len) const;
    status_t readInt32(int32_t* val) const;
    int32_t readInt32() const;
    status_t readString16(String16* out) const;
    String16 readString16() const;
    sp<IBinder> readStrongBinder() const;
    // Reads the interface token; true when it names this interface.
    bool enforceInterface(const String16& interface) const;

    // Hex words of the data with their characters.
    void print(TextOutput& to, uint32_t flags = 0) const;

    // For the driver runtime: offsets of the binder objects in the data.
    const std::vector<uint64_t>& objects() const { return mObjects; }
    using release_func = void (*)(const uint8_t* data, void* cookie);
    // Takes over a received buffer; release is called once when the parcel
    // lets go of it.
    void ipcSetDataReference(const uint8_t* data, size_t size, const uint64_t* objects,
                             size_t objectsCount, release_func release, void* cookie);

  private:
    status_t writeAligned(const void* data, size_t len, size_t padded);
    void releaseReference();

    std::vector<uint8_t> mData;
    std::vector<uint64_t> mObjects;
    // Local objects written here stay alive while the parcel does.
    std::vector<sp<IBinder>> mHeld;
    mutable size_t mPos = 0;
    const uint8_t* mRefData = nullptr;
    size_t mRefSize = 0;
    release_func mRelease = nullptr;
    void* mReleaseCookie = nullptr;
};

} // namespace android
