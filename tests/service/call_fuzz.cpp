// `service call` with arbitrary words after "call" (the input split at NUL
// bytes): the request that reaches the service, both channels and the exit
// status must be what the item grammar gives, worked out here on its own.
#include <binder/Binder.h>
#include <binder/Parcel.h>
#include <binder_local.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "in_process.h"
#include "sample_services.h"
#include "service.h"

using namespace android;

namespace {

constexpr size_t kMaxWords = 64;
const char kRecordName[] = "rec";
const char kRecordDescriptor[] = "vardel.IRecord";

// What the recording service saw of the one call.
struct Record {
    int calls = 0;
    uint32_t code = 0, flags = 0;
    std::string request;
} g_record;

// Keeps the request's bytes and answers with the code inverted, so the
// dump shows which code arrived.
class RecordService : public BBinder {
  public:
    RecordService() : BBinder(String16(kRecordDescriptor)) {}

  protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code == INTERFACE_TRANSACTION)
            return BBinder::onTransact(code, data, reply, flags);
        g_record.calls++;
        g_record.code = code;
        g_record.flags = flags;
        g_record.request.assign(reinterpret_cast<const char*>(data.data()), data.dataSize());
        return reply ? reply->writeUint32(~code) : NO_ERROR;
    }
};

// Words between NUL bytes; a last word counts only when it is not empty, so
// "a\0" is one word and "a\0\0" two.
std::vector<std::string> splitWords(const uint8_t* data, size_t size) {
    std::vector<std::string> words;
    std::string word;
    for (size_t i = 0; i < size && words.size() < kMaxWords; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    if (!word.empty() && words.size() < kMaxWords)
        words.push_back(word);
    return words;
}

// Decimal with a sign after blanks, up to the first other character;
// saturates outside int32_t.
int32_t decimal(const std::string& text) {
    const long long v = strtoll(text.c_str(), nullptr, 10);
    return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v);
}

// KEY=VALUE the way a split at runs of '=' reads it: leading '=' skipped,
// the first run is the key, the second (if any) the value. False without a
// key.
bool splitPair(const std::string& word, std::string* key, bool* hasValue, std::string* value) {
    const size_t k = word.find_first_not_of('=');
    if (k == std::string::npos)
        return false;
    const size_t ke = word.find('=', k);
    *key = word.substr(k, ke == std::string::npos ? std::string::npos : ke - k);
    const size_t v = ke == std::string::npos ? ke : word.find_first_not_of('=', ke);
    *hasValue = v != std::string::npos;
    if (*hasValue) {
        const size_t ve = word.find('=', v);
        *value = word.substr(v, ve == std::string::npos ? std::string::npos : ve - v);
    }
    return true;
}

// Decodes each sequence and then judges the code point: the shortest form
// for its value, no surrogate, at most U+10FFFF.
bool wellFormedUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t len = 0;
        if (lead < 0x80) {
            len = 1;
        } else if ((lead & 0xE0) == 0xC0) {
            len = 2;
        } else if ((lead & 0xF0) == 0xE0) {
            len = 3;
        } else if ((lead & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len == 0 || i + len > text.size())
            return false;
        uint32_t cp = len == 1 ? lead : lead & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
            const unsigned char c = static_cast<unsigned char>(text[i + k]);
            if (c >> 6 != 2)
                return false;
            cp = cp << 6 | (c & 0x3F);
        }
        static const uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kShortest[len] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        i += len;
    }
    return true;
}

std::string notUtf8(size_t word) {
    // Arguments count from 1 after the program name, and "call" is the first.
    return "service: invalid UTF-8 in argument " + std::to_string(word + 2) + "\n";
}

struct Field {
    bool present = false;
    std::string text;
};

void writeField(Parcel& p, const Field& f) {
    if (f.present) {
        p.writeString16(String16(f.text.c_str()));
    } else {
        p.writeInt32(-1);
    }
}

// Items from words[i..] into the request; returns the complaint of the
// first malformed word, or "" when every word was taken.
std::string encodeItems(Parcel& request, const std::vector<std::string>& words, size_t i) {
    while (i < words.size()) {
        const std::string& w = words[i];
        if (w == "i32" || w == "s16") {
            if (i + 1 == words.size()) {
                return w == "i32" ? "service: no integer supplied for 'i32'\n"
                                  : "service: no string supplied for 's16'\n";
            }
            if (w == "i32") {
                request.writeInt32(decimal(words[i + 1]));
            } else if (!wellFormedUtf8(words[i + 1])) {
                return notUtf8(i + 1);
            } else {
                request.writeString16(String16(words[i + 1].c_str()));
            }
            i += 2;
        } else if (w == "null") {
            request.writeStrongBinder(nullptr);
            i += 1;
        } else if (w == "intent") {
            Field action, data, type, component;
            int32_t flags = 0;
            for (++i; i < words.size(); ++i) {
                std::string key, value;
                bool hasValue = false;
                if (!splitPair(words[i], &key, &hasValue, &value))
                    break;
                const bool isString =
                    key == "action" || key == "data" || key == "type" || key == "component";
                // A bad value drops the whole record.
                if (isString && hasValue && !wellFormedUtf8(value))
                    return notUtf8(i);
                Field given{hasValue, hasValue ? value : ""};
                if (key == "action") {
                    action = given;
                } else if (key == "data") {
                    data = given;
                } else if (key == "type") {
                    type = given;
                } else if (key == "component") {
                    component = given;
                } else if (key == "launchFlags") {
                    flags = hasValue ? decimal(value) : 0;
                }
            }
            writeField(request, action);
            writeField(request, data);
            writeField(request, type);
            request.writeInt32(flags);
            writeField(request, component);
            request.writeInt32(0);
            request.writeInt32(-1);
        } else {
            return "service: unknown option " + w + "\n";
        }
    }
    return "";
}

struct Expected {
    RunResult run;
    bool recorded = false;
    uint32_t code = 0;
    std::string request;
};

// What `service call WORDS...` must do against the registry set up below.
Expected expect(const std::vector<std::string>& words) {
    Expected e;
    e.run.status = service::kUsageError;
    if (words.size() < 2) {
        e.run.err = words.empty() ? "service: No service specified for call\n"
                                  : "service: No code specified for call\n";
        e.run.out = service::kUsage;
        return e;
    }
    // The lookup is by the name made into UTF-16, whose conversion is the
    // platform's: a malformed UTF-8 byte may drop out, so "\xc1rec" finds rec.
    const std::string& name = words[0];
    const String16 key(name.c_str());
    const bool isRecord = key == String16(kRecordName);
    const char* descriptor = isRecord                              ? kRecordDescriptor
                             : key == String16(samples::kEchoName) ? samples::kEchoDescriptor
                                                                   : nullptr;
    if (!descriptor) {
        e.run.err = "service: Service " + name + " does not exist\n";
        return e;
    }
    Parcel request;
    request.writeInterfaceToken(String16(descriptor));
    e.run.err = encodeItems(request, words, 2);
    const bool usage = !e.run.err.empty();
    e.code = static_cast<uint32_t>(decimal(words[1]));

    // The two codes that a local object answers itself; any other reaches
    // the service.
    Parcel reply;
    if (e.code == IBinder::INTERFACE_TRANSACTION) {
        reply.writeString16(String16(descriptor));
    } else if (e.code != IBinder::PING_TRANSACTION) {
        if (isRecord) {
            e.recorded = true;
            e.request.assign(reinterpret_cast<const char*>(request.data()), request.dataSize());
            reply.writeUint32(~e.code);
        } else {
            reply.writeUint32(e.code);
            reply.writeUint32(0);
            reply.write(request.data(), request.dataSize());
        }
    }
    e.run.out = "Result: " + dumpText(reply) + "\n" + (usage ? service::kUsage : "");
    e.run.status = usage ? service::kUsageError : service::kOk;
    return e;
}

std::string describe(const std::vector<std::string>& words, const RunResult& got,
                     const RunResult& want) {
    std::string s = "words:";
    for (const std::string& w : words)
        s += " " + quoted(w);
    s += "\nstatus " + std::to_string(got.status) + ", want " + std::to_string(want.status);
    s += "\nout  " + quoted(got.out) + "\nwant " + quoted(want.out);
    s += "\nerr  " + quoted(got.err) + "\nwant " + quoted(want.err);
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words = splitWords(data, size);
    std::vector<std::string> args = {"call"};
    args.insert(args.end(), words.begin(), words.end());

    // A fresh registry per input: nothing carries over from the last one.
    sp<IServiceManager> sm = makeLocalServiceManager();
    samples::registerSampleServices(*sm);
    sm->addService(String16(kRecordName), new RecordService());
    setDefaultServiceManager(sm);
    sm.clear();
    g_record = Record();

    const RunResult got = runInProcess(args);
    setDefaultServiceManager(nullptr);

    const Expected want = expect(words);
    if (got.status != want.run.status || got.out != want.run.out || got.err != want.run.err)
        fuzzFail("output or status differs", describe(words, got, want.run));
    if (g_record.calls != (want.recorded ? 1 : 0))
        fuzzFail("the recording service was called " + std::to_string(g_record.calls) + " times",
                 describe(words, got, want.run));
    if (want.recorded &&
        (g_record.code != want.code || g_record.flags != 0 || g_record.request != want.request)) {
        fuzzFail("request differs",
                 describe(words, got, want.run) + "\nrequest " + quoted(g_record.request) +
                     "\nwant    " + quoted(want.request) + "\ncode " +
                     std::to_string(g_record.code) + " flags " + std::to_string(g_record.flags));
    }
    return 0;
}
