// Arbitrary reply bytes through `service call fz 1`. The first input byte
// says where they go (bit 0: the descriptor query's reply instead of the
// call's) and how (bit 1: as a buffer received from the driver, of exactly
// their length, instead of written into the parcel). The dump must give back
// exactly the reply's bytes in lines of one shape; a descriptor reply that
// holds no string must read as no service.
#include <binder/Binder.h>
#include <binder/Parcel.h>
#include <binder_local.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "in_process.h"
#include "service.h"

using namespace android;

namespace {

const char kName[] = "fz";
const char kDescriptor[] = "vardel.IFuzz";

struct Input {
    bool toDescriptor = false;
    bool received = false;
    std::string payload;
    int releases = 0;
} g_in;

void release(const uint8_t* data, void*) {
    g_in.releases++;
    delete[] data;
}

void fill(Parcel* reply) {
    const size_t n = g_in.payload.size();
    if (g_in.received) {
        uint8_t* buf = new uint8_t[n];
        memcpy(buf, g_in.payload.data(), n);
        reply->ipcSetDataReference(buf, n, nullptr, 0, release, nullptr);
    } else {
        reply->write(g_in.payload.data(), n);
    }
}

// Answers with the fuzzer's bytes; the other transaction gets the usual
// answer (the call: its request echoed).
class FuzzService : public BBinder {
  public:
    FuzzService() : BBinder(String16(kDescriptor)) {}

  protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        if (reply == nullptr)
            return BAD_VALUE;
        if ((code == INTERFACE_TRANSACTION) == g_in.toDescriptor) {
            fill(reply);
            return NO_ERROR;
        }
        if (code == INTERFACE_TRANSACTION)
            return BBinder::onTransact(code, data, reply, flags);
        return reply->write(data.data(), data.dataSize());
    }
};

uint32_t le32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        v |= uint32_t(static_cast<uint8_t>(b[at + i])) << (8 * i);
    return v;
}

void putLe32(std::string& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A string item at the start: length, that many units and a 0 unit, padded
// to 4 bytes, all inside the data. False for the null marker and anything
// malformed.
bool readString(const std::string& b, std::u16string* out) {
    if (b.size() < 4)
        return false;
    const int32_t len = static_cast<int32_t>(le32(b, 0));
    if (len < 0)
        return false;
    const uint64_t bytes = (uint64_t(len) + 1) * 2;
    if (4 + ((bytes + 3) & ~uint64_t(3)) > b.size())
        return false;
    auto unit = [&](size_t i) {
        return static_cast<char16_t>(static_cast<uint8_t>(b[4 + 2 * i]) |
                                     (static_cast<uint8_t>(b[5 + 2 * i]) << 8));
    };
    if (unit(len) != 0)
        return false;
    out->clear();
    for (int32_t i = 0; i < len; ++i)
        *out += unit(i);
    return true;
}

// The interface token for a descriptor: strict-mode header 0x100, then the
// string item.
std::string token(const std::u16string& descriptor) {
    std::string b;
    putLe32(b, 0x100);
    putLe32(b, static_cast<uint32_t>(descriptor.size()));
    for (char16_t u : descriptor + u'\0') {
        b += static_cast<char>(u & 0xFF);
        b += static_cast<char>(u >> 8);
    }
    b.resize((b.size() + 3) & ~size_t(3), '\0');
    return b;
}

bool hex8(const std::string& t, size_t at, uint32_t* v) {
    if (at + 8 > t.size())
        return false;
    *v = 0;
    for (size_t i = at; i < at + 8; ++i) {
        const char c = t[i];
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0)
            return false;
        *v = (*v << 4) | static_cast<uint32_t>(d);
    }
    return true;
}

// The dump of BYTES: "Parcel(NULL)" when empty, else "Parcel(", one line
// per 16 bytes ("\n  0x" offset ":", a hex word per 4 bytes or fewer, their
// characters with '.' for the unprintable ones in quotes), "\n)". Returns
// what is wrong, or "".
std::string checkDump(const std::string& t, const std::string& bytes) {
    if (bytes.empty())
        return t == "Parcel(NULL)" ? "" : "not the empty dump";
    // A full line is 69 characters: linear in the data.
    if (t.size() > 16 + 69 * ((bytes.size() + 15) / 16))
        return "longer than the data can make";
    size_t at = 0;
    auto take = [&](const char* lit) {
        const size_t n = strlen(lit);
        if (t.compare(at, n, lit) != 0)
            return false;
        at += n;
        return true;
    };
    if (!take("Parcel("))
        return "no head";
    for (size_t off = 0; off < bytes.size(); off += 16) {
        const size_t count = std::min<size_t>(16, bytes.size() - off);
        uint32_t shown = 0;
        if (!take("\n  0x") || !hex8(t, at, &shown) || shown != off)
            return "bad line start at " + std::to_string(off);
        at += 8;
        if (!take(":"))
            return "no colon at " + std::to_string(off);
        for (size_t w = 0; w < count; w += 4) {
            uint32_t word = 0;
            if (!take(" ") || !hex8(t, at, &word))
                return "bad word at " + std::to_string(off + w);
            at += 8;
            uint32_t want = 0;
            for (size_t b = 0; b < 4 && w + b < count; ++b)
                want |= uint32_t(static_cast<uint8_t>(bytes[off + w + b])) << (8 * b);
            if (word != want)
                return "word differs at " + std::to_string(off + w);
        }
        if (!take(" '"))
            return "no characters at " + std::to_string(off);
        for (size_t b = 0; b < count; ++b) {
            const uint8_t ch = static_cast<uint8_t>(bytes[off + b]);
            const char want = ch >= 0x20 && ch < 0x7f ? static_cast<char>(ch) : '.';
            if (at >= t.size() || t[at++] != want)
                return "character differs at " + std::to_string(off + b);
        }
        if (!take("'"))
            return "characters not closed at " + std::to_string(off);
    }
    if (!take("\n)") || at != t.size())
        return "bad end";
    return "";
}

std::string describe(const RunResult& r) {
    return "payload " + quoted(g_in.payload) + (g_in.toDescriptor ? " to descriptor" : " to call") +
           (g_in.received ? ", received" : ", written") + "\nstatus " + std::to_string(r.status) +
           "\nout " + quoted(r.out) + "\nerr " + quoted(r.err);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    g_in = Input();
    g_in.toDescriptor = data[0] & 1;
    g_in.received = data[0] & 2;
    g_in.payload.assign(reinterpret_cast<const char*>(data + 1), size - 1);

    sp<IServiceManager> sm = makeLocalServiceManager();
    sm->addService(String16(kName), new FuzzService());
    setDefaultServiceManager(sm);
    sm.clear();
    const RunResult r = runInProcess({"call", kName, "1"});
    setDefaultServiceManager(nullptr);

    if (g_in.releases != (g_in.received ? 1 : 0))
        fuzzFail("received buffer released " + std::to_string(g_in.releases) + " times",
                 describe(r));
    // What the reply parcel held: a written one is padded to 4 with zeros.
    std::string replyBytes = g_in.payload;
    if (!g_in.received)
        replyBytes.resize((replyBytes.size() + 3) & ~size_t(3), '\0');

    std::string dumped = replyBytes;
    if (g_in.toDescriptor) {
        std::u16string descriptor;
        if (!readString(replyBytes, &descriptor) || descriptor.empty()) {
            if (r.status != service::kUsageError || !r.out.empty() ||
                r.err != std::string("service: Service ") + kName + " does not exist\n")
                fuzzFail("a reply without a descriptor not read as no service", describe(r));
            return 0;
        }
        dumped = token(descriptor);
    }
    if (r.status != service::kOk || !r.err.empty())
        fuzzFail("status or complaint after a call", describe(r));
    const std::string head = "Result: ";
    if (r.out.compare(0, head.size(), head) != 0 || r.out.back() != '\n')
        fuzzFail("no result line", describe(r));
    const std::string problem =
        checkDump(r.out.substr(head.size(), r.out.size() - head.size() - 1), dumped);
    if (!problem.empty())
        fuzzFail("dump: " + problem, describe(r) + "\nwant bytes " + quoted(dumped));
    return 0;
}
