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
// not taken.
int readIntentPairs(Intent& intent, int argc, char** argv, int i) {
    for (; i < argc; ++i) {
        std::vector<char> word(argv[i], argv[i] + strlen(argv[i]) + 1);
        char* save = nullptr;
        const char* key = strtok_r(word.data(), "=", &save);
        if (key == nullptr)
            break;
        const char* value = strtok_r(nullptr, "=", &save);
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
            data.writeString16(String16(argv[i + 1]));
            i += 2;
        } else if (strcmp(word, "null") == 0) {
            data.writeStrongBinder(nullptr);
            i += 1;
        } else if (strcmp(word, "intent") == 0) {
            Intent intent;
            i = readIntentPairs(intent, argc, argv, i + 1);
            writeIntent(data, intent);
        } else {
            return argumentError(run, "service: unknown option ", word);
        }
    }
}

} // namespace

void run_call(RunState& run, int argc, char** argv, int k) {
    if (k + 1 >= argc) {
        aerr << "service: No service specified for call" << endl;
        run.status = kUsageError;
        aout << kUsage;
        return;
    }
    if (k + 2 >= argc) {
        aerr << "service: No code specified for call" << endl;
        run.status = kUsageError;
        aout << kUsage;
        return;
    }
    const char* name = argv[k + 1];
    sp<IBinder> service = run.sm->checkService(String16(name));
    String16 ifName = queryInterfaceDescriptor(service);
    const uint32_t code = static_cast<uint32_t>(parseInt32(argv[k + 2]));
    if (service == nullptr || ifName.size() == 0) {
        aerr << "service: Service " << name << " does not exist" << endl;
        run.status = kUsageError;
        return;
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
    if (run.wantsUsage)
        aout << kUsage;
}

} // namespace service
