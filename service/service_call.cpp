// The call command: a request parcel built from typed words, one
// transaction, and the reply's dump.
#include <binder/Parcel.h>
#include <binder/TextOutput.h>
#include <ctype.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "service.h"

using namespace android;

namespace service {

int32_t parseInt32(const char* text) {
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    int64_t value = 0;
    const int64_t limit = negative ? -int64_t(INT32_MIN) : INT32_MAX;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > limit)
            value = limit; // saturate; keeps consuming digits
    }
    return static_cast<int32_t>(negative ? -value : value);
}

namespace {

// Well-formed UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing
// above U+10FFFF, no cut-off sequence. String16 would turn anything else
// into other text without a word.
bool isUtf8(const char* text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        const unsigned char b = *p++;
        if (b < 0x80)
            continue;
        int more;
        unsigned char lo = 0x80, hi = 0xBF; // range of the byte after the lead
        if (b >= 0xC2 && b <= 0xDF) {
            more = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            more = 2;
            lo = b == 0xE0 ? 0xA0 : 0x80;
            hi = b == 0xED ? 0x9F : 0xBF;
        } else if (b >= 0xF0 && b <= 0xF4) {
            more = 3;
            lo = b == 0xF0 ? 0x90 : 0x80;
            hi = b == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (*p < lo || *p > hi)
            return false;
        for (++p; --more > 0; ++p) {
            if (*p < 0x80 || *p > 0xBF)
                return false;
        }
    }
    return true;
}

struct Intent {
    bool hasAction = false, hasData = false, hasType = false, hasComponent = false;
    std::string action, data, type, component;
    int32_t launchFlags = 0;
};

void writeOptionalString(Parcel& parcel, bool present, const std::string& str) {
    if (present) {
        parcel.writeString16(String16(str.c_str()));
    } else {
        parcel.writeInt32(-1);
    }
}

void storeField(bool& has, std::string& field, const char* value) {
    has = value != nullptr;
    field = value ? value : "";
}

// Reads KEY=VALUE words from argv[i]; returns the index of the first word
// not taken. *badWord is the index of a word whose string value is not
// UTF-8 (reading stops there), or 0.
int readIntentPairs(Intent& intent, int argc, char** argv, int i, int* badWord) {
    *badWord = 0;
    for (; i < argc; ++i) {
        std::vector<char> word(argv[i], argv[i] + strlen(argv[i]) + 1);
        char* save = nullptr;
        const char* key = strtok_r(word.data(), "=", &save);
        if (key == nullptr)
            break;
        const char* value = strtok_r(nullptr, "=", &save);
        const bool isString = strcmp(key, "action") == 0 || strcmp(key, "data") == 0 ||
                              strcmp(key, "type") == 0 || strcmp(key, "component") == 0;
        if (isString && value && !isUtf8(value)) {
            *badWord = i;
            return i;
        }
        if (strcmp(key, "action") == 0) {
            storeField(intent.hasAction, intent.action, value);
        } else if (strcmp(key, "data") == 0) {
            storeField(intent.hasData, intent.data, value);
        } else if (strcmp(key, "type") == 0) {
            storeField(intent.hasType, intent.type, value);
        } else if (strcmp(key, "component") == 0) {
            storeField(intent.hasComponent, intent.component, value);
        } else if (strcmp(key, "launchFlags") == 0) {
            // No value: nothing to convert, so no flags.
            intent.launchFlags = value ? parseInt32(value) : 0;
        }
    }
    return i;
}

void writeIntent(Parcel& parcel, const Intent& intent) {
    writeOptionalString(parcel, intent.hasAction, intent.action);
    writeOptionalString(parcel, intent.hasData, intent.data);
    writeOptionalString(parcel, intent.hasType, intent.type);
    parcel.writeInt32(intent.launchFlags);
    writeOptionalString(parcel, intent.hasComponent, intent.component);
    parcel.writeInt32(0);
    parcel.writeInt32(-1);
}

void argumentError(RunState& run, const char* line, const char* word) {
    aerr << line << word << endl;
    run.status = kUsageError;
    run.wantsUsage = true;
}

// argIndex counts from 1 after the program name.
void notUtf8(RunState& run, int argIndex) {
    argumentError(run, "service: invalid UTF-8 in argument ", std::to_string(argIndex).c_str());
}

// Fills data from argv[i..]; stops at the first malformed word.
void buildRequest(RunState& run, Parcel& data, int argc, char** argv, int i) {
    while (i < argc) {
        const char* word = argv[i];
        if (strcmp(word, "i32") == 0) {
            if (i + 1 >= argc)
                return argumentError(run, "service: no integer supplied for 'i32'", "");
            data.writeInt32(parseInt32(argv[i + 1]));
            i += 2;
        } else if (strcmp(word, "s16") == 0) {
            if (i + 1 >= argc)
                return argumentError(run, "service: no string supplied for 's16'", "");
            if (!isUtf8(argv[i + 1]))
                return notUtf8(run, i + 1);
            data.writeString16(String16(argv[i + 1]));
            i += 2;
        } else if (strcmp(word, "null") == 0) {
            data.writeStrongBinder(nullptr);
            i += 1;
        } else if (strcmp(word, "intent") == 0) {
            Intent intent;
            int badWord;
            i = readIntentPairs(intent, argc, argv, i + 1, &badWord);
            // The record is one item group: none of it goes out.
            if (badWord)
                return notUtf8(run, badWord);
            writeIntent(data, intent);
        } else {
            return argumentError(run, "service: unknown option ", word);
        }
    }
}

} // namespace

int runCall(RunState& run, int argc, char** argv, int k) {
    if (k + 1 >= argc)
        return usageError(run, "service: No service specified for call");
    if (k + 2 >= argc)
        return usageError(run, "service: No code specified for call");
    const char* name = argv[k + 1];
    sp<IBinder> service = run.sm->checkService(String16(name));
    String16 ifName = queryInterfaceDescriptor(service);
    const uint32_t code = static_cast<uint32_t>(parseInt32(argv[k + 2]));
    if (service == nullptr || ifName.size() == 0) {
        aerr << "service: Service " << name << " does not exist" << endl;
        run.status = kUsageError;
        return run.status;
    }
    {
        Parcel data, reply;
        data.writeInterfaceToken(ifName);
        buildRequest(run, data, argc, argv, k + 3);
        // A failed call is shown like any other, with whatever the reply holds.
        service->transact(code, data, &reply, 0);
        aout << "Result: ";
        reply.print(aout);
        aout << endl;
    }
    service.clear();
    // An argument error shows the usage after the result.
    if (run.wantsUsage)
        aout << kUsage;
    return run.status;
}

} // namespace service
