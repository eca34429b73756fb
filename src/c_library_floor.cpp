// The module links the C++ runtime statically (CMakeLists.txt), and the runtime's archive refers
// to two C library symbols newer than the glibc versions the wheels promise to load on
// (manylinux2014, glibc 2.17). Defined here, hidden, the runtime's references bind to these
// instead of to the C library, so the module does not need them from it.

#include <cctype>
#include <cerrno>
#include <climits>

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)
extern "C" {

// glibc 2.32: nonzero while the process has one thread, which lets the runtime's reference
// counts (exception messages, strings, static guards) skip atomic operations. Kept at zero, this
// module's copy of the runtime always counts atomically, which is right with any number of
// threads (and the free-threaded interpreter's are many).
[[gnu::visibility("hidden")]] char __libc_single_threaded = 0;

// strtoul as every glibc exports it, without C23's binary prefix. Called by this name because
// glibc 2.38's headers map strtoul itself to __isoc23_strtoul, the function defined below.
unsigned long __strtoul_internal(const char* text, char** end, int base, int group);

// glibc 2.38: strtoul with C23's reading of "0b"/"0B" as a binary prefix for bases 0 and 2,
// which glibc's headers select for GCC 14's runtime (its emergency exception pool reads a count
// from GLIBCXX_TUNABLES). Every other input reads as with strtoul.
[[gnu::visibility("hidden")]] unsigned long __isoc23_strtoul(const char* text, char** end, int base) {
    if (base == 0 || base == 2) {
        const char* at = text;
        while (std::isspace(static_cast<unsigned char>(*at)) != 0) {
            ++at;
        }
        const bool negative = *at == '-';
        if (*at == '+' || *at == '-') {
            ++at;
        }
        if (at[0] == '0' && (at[1] == 'b' || at[1] == 'B') && (at[2] == '0' || at[2] == '1')) {
            const int saved_errno = errno;
            errno = 0;
            const unsigned long magnitude = __strtoul_internal(at + 2, end, 2, 0);
            if (errno == ERANGE) {
                return ULONG_MAX;
            }
            errno = saved_errno;
            return negative ? 0UL - magnitude : magnitude;
        }
    }
    return __strtoul_internal(text, end, base, 0);
}

}  // extern "C"
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)
