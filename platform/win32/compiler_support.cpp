// The few memory routines the compiler may call on its own (block copies and
// zeroing), for the program that links no C runtime.
#include <stddef.h>

extern "C" {

void* memcpy(void* to, const void* from, size_t count)
{
    void* result = to;
    __asm__ volatile("rep movsb" : "+D"(to), "+S"(from), "+c"(count) : : "memory");
    return result;
}

void* memmove(void* to, const void* from, size_t count)
{
    unsigned char* d = static_cast<unsigned char*>(to);
    const unsigned char* s = static_cast<const unsigned char*>(from);
    if (d <= s || d >= s + count) {
        return memcpy(to, from, count);
    }
    while (count > 0) {
        --count;
        d[count] = s[count];
    }
    return to;
}

void* memset(void* to, int value, size_t count)
{
    void* result = to;
    __asm__ volatile("rep stosb" : "+D"(to), "+c"(count) : "a"(value) : "memory");
    return result;
}

int memcmp(const void* a, const void* b, size_t count)
{
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < count; ++i) {
        if (x[i] != y[i]) {
            return x[i] < y[i] ? -1 : 1;
        }
    }
    return 0;
}

}
