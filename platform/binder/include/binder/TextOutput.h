// Stands for the platform's <binder/TextOutput.h>: the text streams aout
// (standard output) and aerr (standard error). They write straight to the
// descriptor, unbuffered, so lines of both keep the order in which they were
// written and need no flush before exit.
#pragma once

#include <stddef.h>
#include <utils/Errors.h>

namespace android {

class TextOutput {
  public:
    TextOutput() = default;
    virtual ~TextOutput() = default;
    virtual status_t print(const char* txt, size_t len) = 0;
};

extern TextOutput& aout;
extern TextOutput& aerr;

// Writes the one character "\n".
TextOutput& endl(TextOutput& to);

TextOutput& operator<<(TextOutput& to, const char* str);
TextOutput& operator<<(TextOutput& to, char c);
TextOutput& operator<<(TextOutput& to, int val);
TextOutput& operator<<(TextOutput& to, long val);
TextOutput& operator<<(TextOutput& to, long long val);
TextOutput& operator<<(TextOutput& to, unsigned int val);
TextOutput& operator<<(TextOutput& to, unsigned long val);
TextOutput& operator<<(TextOutput& to, unsigned long long val);
TextOutput& operator<<(TextOutput& to, TextOutput& (*func)(TextOutput&));

} // namespace android
