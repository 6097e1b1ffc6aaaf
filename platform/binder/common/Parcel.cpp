// Stands for the platform's Parcel (libbinder): the wire format of
// transaction data.
#include <binder/Parcel.h>

#include <binder/Binder.h>
#include <binder/BpBinder.h>
#include <binder/TextOutput.h>
#include <linux/android/binder.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "runtime.h"

namespace android {

namespace {

// The strict-mode header of an interface token when no policy is set.
constexpr int32_t kStrictModeHeader = 0x100;

constexpr size_t pad4(size_t len) {
    return (len + 3) & ~size_t(3);
}

static_assert(sizeof(flat_binder_object) == 24, "64-bit binder ABI on both host and device");

} // namespace

Parcel::Parcel() = default;

Parcel::~Parcel() {
    releaseReference();
}

void Parcel::releaseReference() {
    if (mRelease) {
        release_func release = mRelease;
        mRelease = nullptr;
        release(mRefData, mReleaseCookie);
    }
    mRefData = nullptr;
    mRefSize = 0;
}

const uint8_t* Parcel::data() const {
    return mRefData ? mRefData : mData.data();
}
size_t Parcel::dataSize() const {
    return mRefData ? mRefSize : mData.size();
}
size_t Parcel::dataAvail() const {
    return dataSize() > mPos ? dataSize() - mPos : 0;
}

void Parcel::setDataPosition(size_t pos) const {
    mPos = pos > dataSize() ? dataSize() : pos;
}

void Parcel::freeData() {
    releaseReference();
    mData.clear();
    mObjects.clear();
    mHeld.clear();
    mPos = 0;
}

void Parcel::ipcSetDataReference(const uint8_t* data, size_t size, const uint64_t* objects,
                                 size_t objectsCount, release_func release, void* cookie) {
    freeData();
    mRefData = data;
    mRefSize = size;
    mObjects.assign(objects, objects + objectsCount);
    mRelease = release;
    mReleaseCookie = cookie;
}

status_t Parcel::writeAligned(const void* data, size_t len, size_t padded) {
    // Nothing to add; an empty parcel has no buffer to pass to memset.
    if (padded == 0)
        return NO_ERROR;
    if (mRefData) {
        // A received buffer is read-only; copy it before appending.
        std::vector<uint8_t> copy(mRefData, mRefData + mRefSize);
        releaseReference();
        mData.swap(copy);
    }
    const size_t at = mPos;
    if (at + padded > mData.size())
        mData.resize(at + padded);
    if (len)
        memcpy(mData.data() + at, data, len);
    memset(mData.data() + at + len, 0, padded - len);
    mPos = at + padded;
    return NO_ERROR;
}

status_t Parcel::write(const void* data, size_t len) {
    return writeAligned(data, len, pad4(len));
}

status_t Parcel::writeInt32(int32_t val) {
    return writeAligned(&val, sizeof(val), sizeof(val));
}
status_t Parcel::writeUint32(uint32_t val) {
    return writeAligned(&val, sizeof(val), sizeof(val));
}

status_t Parcel::writeString16(const String16& str) {
    // The conversion is declared by both generations of libutils; string()
    // is gone from the newer one and c_str() missing from the older.
    return writeString16(static_cast<const char16_t*>(str), str.size());
}

status_t Parcel::writeString16(const char16_t* str, size_t len) {
    if (str == nullptr)
        return writeInt32(-1);
    if (len > INT32_MAX / 2 - 2)
        return BAD_VALUE;
    writeInt32(static_cast<int32_t>(len));
    std::vector<char16_t> units(str, str + len);
    units.push_back(0);
    return write(units.data(), units.size() * sizeof(char16_t));
}

status_t Parcel::writeInterfaceToken(const String16& interface) {
    writeInt32(kStrictModeHeader);
    return writeString16(interface);
}

status_t Parcel::writeStrongBinder(const sp<IBinder>& val) {
    flat_binder_object obj;
    memset(&obj, 0, sizeof(obj));
    obj.hdr.type = BINDER_TYPE_BINDER;
    if (val != nullptr) {
        if (BpBinder* proxy = val->remoteBinder()) {
            obj.hdr.type = BINDER_TYPE_HANDLE;
            obj.handle = proxy->handle();
        } else {
            BBinder* local = val->localBinder();
            obj.binder = reinterpret_cast<uintptr_t>(local);
            obj.cookie = reinterpret_cast<uintptr_t>(local);
        }
        obj.flags = FLAT_BINDER_FLAG_ACCEPTS_FDS;
        mHeld.push_back(val);
        mObjects.push_back(mPos);
    }
    return write(&obj, sizeof(obj));
}

const void* Parcel::readInplace(size_t len) const {
    const size_t padded = pad4(len);
    if (padded < len || padded > dataAvail())
        return nullptr;
    const void* at = data() + mPos;
    mPos += padded;
    return at;
}

status_t Parcel::readInt32(int32_t* val) const {
    const void* at = readInplace(sizeof(int32_t));
    if (!at) {
        *val = 0;
        return BAD_VALUE;
    }
    memcpy(val, at, sizeof(int32_t));
    return NO_ERROR;
}

int32_t Parcel::readInt32() const {
    int32_t val;
    readInt32(&val);
    return val;
}

status_t Parcel::readString16(String16* out) const {
    const size_t start = mPos;
    int32_t len;
    if (readInt32(&len) != NO_ERROR)
        return BAD_VALUE;
    if (len == -1) {
        *out = String16();
        return UNEXPECTED_NULL;
    }
    // The length comes from the sender: the units and their 0 must lie in
    // the data before anything is allocated for them (and in 64 bits, so
    // that a 32-bit size cannot wrap).
    const uint64_t bytes = (uint64_t(uint32_t(len)) + 1) * sizeof(char16_t);
    const void* at =
        len >= 0 && bytes <= dataAvail() ? readInplace(static_cast<size_t>(bytes)) : nullptr;
    std::vector<char16_t> units;
    if (at) {
        units.resize(static_cast<size_t>(len) + 1);
        memcpy(units.data(), at, static_cast<size_t>(bytes));
    }
    if (!at || units[len] != 0) {
        mPos = start;
        *out = String16();
        return BAD_VALUE;
    }
    *out = String16(units.data(), len);
    return NO_ERROR;
}

String16 Parcel::readString16() const {
    String16 s;
    readString16(&s);
    return s;
}

sp<IBinder> Parcel::readStrongBinder() const {
    const size_t start = mPos;
    const void* at = readInplace(sizeof(flat_binder_object));
    if (!at)
        return nullptr;
    // Only the object table says where a binder is (the driver translates
    // only those); bytes elsewhere that look like one, a null binder among
    // them, read as none.
    if (std::find(mObjects.begin(), mObjects.end(), start) == mObjects.end())
        return nullptr;
    flat_binder_object obj;
    memcpy(&obj, at, sizeof(obj));
    if (obj.hdr.type == BINDER_TYPE_HANDLE)
        return runtimeProxyForHandle(obj.handle);
    if (obj.hdr.type == BINDER_TYPE_BINDER) {
        if (obj.cookie == 0)
            return nullptr;
        // Only trust a pointer that this parcel itself carries as an object.
        for (const sp<IBinder>& held : mHeld) {
            if (reinterpret_cast<uintptr_t>(held->localBinder()) == obj.cookie)
                return held;
        }
        // The driver hands our own objects back by pointer.
        return reinterpret_cast<BBinder*>(static_cast<uintptr_t>(obj.cookie));
    }
    mPos = start;
    return nullptr;
}

bool Parcel::enforceInterface(const String16& interface) const {
    int32_t header;
    if (readInt32(&header) != NO_ERROR)
        return false;
    String16 name;
    if (readString16(&name) != NO_ERROR)
        return false;
    return name == interface;
}

void Parcel::print(TextOutput& to, uint32_t /*flags*/) const {
    const size_t size = dataSize();
    const uint8_t* bytes = data();
    if (size == 0) {
        to << "Parcel(NULL)";
        return;
    }
    to << "Parcel(";
    char line[96];
    for (size_t off = 0; off < size; off += 16) {
        int n = snprintf(line, sizeof(line), "\n  0x%08zx:", off);
        char chars[17];
        size_t c = 0;
        for (size_t w = off; w < off + 16 && w < size; w += 4) {
            uint32_t word = 0;
            for (size_t b = 0; b < 4 && w + b < size; ++b) {
                word |= uint32_t(bytes[w + b]) << (8 * b);
                const uint8_t ch = bytes[w + b];
                chars[c++] = (ch >= 0x20 && ch < 0x7f) ? static_cast<char>(ch) : '.';
            }
            n += snprintf(line + n, sizeof(line) - n, " %08x", word);
        }
        chars[c] = 0;
        snprintf(line + n, sizeof(line) - n, " '%s'", chars);
        to << line;
    }
    to << "\n)";
}

} // namespace android
