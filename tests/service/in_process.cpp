#include "in_process.h"

#include <android/log.h>
#include <binder/TextOutput.h>
#include <sanitizer/common_interface_defs.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "service.h"

namespace {

// aout and aerr write to descriptors 1 and 2, so those are pointed at memory
// files for the length of a run. Sanitizer reports go to a copy of the real
// standard error, so one raised inside a run is still seen.
struct Channels {
    int realOut = -1, realErr = -1, memOut = -1, memErr = -1;
};

Channels& channels() {
    static Channels c = [] {
        Channels n;
        n.realOut = dup(STDOUT_FILENO);
        n.realErr = dup(STDERR_FILENO);
        n.memOut = memfd_create("service-out", MFD_CLOEXEC);
        n.memErr = memfd_create("service-err", MFD_CLOEXEC);
        if (n.realOut < 0 || n.realErr < 0 || n.memOut < 0 || n.memErr < 0) {
            perror("in_process: channels");
            abort();
        }
        __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(n.realErr)));
        // On the host the platform log writes to descriptor 2 (newer libutils warns there of
        // names that are not UTF-8); on the device it goes to the log daemon, never into the
        // run's own standard error, which is what the runs compare.
        __android_log_set_minimum_priority(ANDROID_LOG_SILENT);
        return n;
    }();
    return c;
}

void restoreChannels() {
    Channels& c = channels();
    dup2(c.realOut, STDOUT_FILENO);
    dup2(c.realErr, STDERR_FILENO);
}

void must(bool ok, const char* what) {
    if (!ok) {
        restoreChannels();
        perror(what);
        abort();
    }
}

std::string drain(int fd) {
    const off_t size = lseek(fd, 0, SEEK_END);
    must(size >= 0, "in_process: lseek");
    std::string text(static_cast<size_t>(size), '\0');
    must(pread(fd, text.data(), text.size(), 0) == size, "in_process: pread");
    must(ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0, "in_process: truncate");
    return text;
}

class StringOutput : public android::TextOutput {
  public:
    explicit StringOutput(std::string* to) : mTo(to) {}
    android::status_t print(const char* txt, size_t len) override {
        mTo->append(txt, len);
        return android::NO_ERROR;
    }

  private:
    std::string* mTo;
};

} // namespace

// A sanitizer's death path: libFuzzer's crash lines that follow must reach
// the real standard error too.
extern "C" void __sanitizer_report_error_summary(const char* summary) {
    restoreChannels();
    fprintf(stderr, "%s\n", summary);
}

RunResult runInProcess(const std::vector<std::string>& args) {
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<char*> argv;
    storage.emplace_back(new char[8]{'s', 'e', 'r', 'v', 'i', 'c', 'e', '\0'});
    argv.push_back(storage.back().get());
    for (const std::string& arg : args) {
        storage.emplace_back(new char[arg.size() + 1]);
        std::copy(arg.c_str(), arg.c_str() + arg.size() + 1, storage.back().get());
        argv.push_back(storage.back().get());
    }
    argv.push_back(nullptr);

    Channels& c = channels();
    must(dup2(c.memOut, STDOUT_FILENO) >= 0 && dup2(c.memErr, STDERR_FILENO) >= 0,
         "in_process: dup2");
    RunResult r;
    r.status = service::serviceMain(static_cast<int>(argv.size() - 1), argv.data());
    restoreChannels();
    r.out = drain(c.memOut);
    r.err = drain(c.memErr);
    return r;
}

std::string dumpText(const android::Parcel& parcel) {
    std::string text;
    StringOutput to(&text);
    parcel.print(to);
    return text;
}

void fuzzFail(const std::string& what, const std::string& detail) {
    restoreChannels();
    fprintf(stderr, "service fuzz: %s\n%s\n", what.c_str(), detail.c_str());
    abort();
}

std::string quoted(const std::string& bytes) {
    std::string s = "\"";
    for (unsigned char ch : bytes) {
        char buf[8];
        if (ch == '\\' || ch == '"') {
            snprintf(buf, sizeof(buf), "\\%c", ch);
        } else if (ch >= 0x20 && ch < 0x7f) {
            snprintf(buf, sizeof(buf), "%c", ch);
        } else if (ch == '\n') {
            snprintf(buf, sizeof(buf), "\\n");
        } else {
            snprintf(buf, sizeof(buf), "\\x%02x", ch);
        }
        s += buf;
    }
    return s + "\"";
}
