// Every operator new of the test program, the module's included, hands out
// memory filled with a pattern instead of the fresh zeroes a young heap
// gives: a field the module leaves unset then shows as 0xA5 bytes in the
// records it hands out. Delete is ours too, so that a sanitizer's own
// new/delete pairing check never sees a malloc'ed block.
#include <stdlib.h>
#include <string.h>

#include <new>

namespace {

const unsigned char kPattern = 0xA5;

void* filled(size_t n) {
    void* p = malloc(n ? n : 1);
    if (p)
        memset(p, kPattern, n);
    return p;
}

void* filled_or_abort(size_t n) {
    void* p = filled(n);
    if (!p)
        abort(); // a test that runs out of memory is over
    return p;
}

} // namespace

void* operator new(size_t n) {
    return filled_or_abort(n);
}
void* operator new[](size_t n) {
    return filled_or_abort(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    return filled(n);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    return filled(n);
}
void operator delete(void* p) noexcept {
    free(p);
}
void operator delete[](void* p) noexcept {
    free(p);
}
void operator delete(void* p, size_t) noexcept {
    free(p);
}
void operator delete[](void* p, size_t) noexcept {
    free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    free(p);
}
