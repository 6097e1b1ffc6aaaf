// Stands for the platform's TextOutput (libbinder): aout and aerr.
#include <binder/TextOutput.h>

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace android {

namespace {

class FdTextOutput : public TextOutput {
  public:
    explicit FdTextOutput(int fd) : mFd(fd) {}
    status_t print(const char* txt, size_t len) override {
        while (len > 0) {
            ssize_t n = ::write(mFd, txt, len);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return -errno;
            }
            txt += n;
            len -= static_cast<size_t>(n);
        }
        return NO_ERROR;
    }

  private:
    const int mFd;
};

FdTextOutput gStdout(STDOUT_FILENO);
FdTextOutput gStderr(STDERR_FILENO);

TextOutput& printf_to(TextOutput& to, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
TextOutput& printf_to(TextOutput& to, const char* fmt, ...) {
    char buf[32];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    if (n > 0)
        to.print(buf, static_cast<size_t>(n));
    return to;
}

} // namespace

TextOutput& aout = gStdout;
TextOutput& aerr = gStderr;

TextOutput& endl(TextOutput& to) {
    to.print("\n", 1);
    return to;
}

TextOutput& operator<<(TextOutput& to, const char* str) {
    if (str)
        to.print(str, strlen(str));
    return to;
}

TextOutput& operator<<(TextOutput& to, char c) {
    to.print(&c, 1);
    return to;
}

TextOutput& operator<<(TextOutput& to, int val) {
    return printf_to(to, "%d", val);
}
TextOutput& operator<<(TextOutput& to, long val) {
    return printf_to(to, "%ld", val);
}
TextOutput& operator<<(TextOutput& to, long long val) {
    return printf_to(to, "%lld", val);
}
TextOutput& operator<<(TextOutput& to, unsigned int val) {
    return printf_to(to, "%u", val);
}
TextOutput& operator<<(TextOutput& to, unsigned long val) {
    return printf_to(to, "%lu", val);
}
TextOutput& operator<<(TextOutput& to, unsigned long long val) {
    return printf_to(to, "%llu", val);
}

TextOutput& operator<<(TextOutput& to, TextOutput& (*func)(TextOutput&)) {
    return func(to);
}

} // namespace android
