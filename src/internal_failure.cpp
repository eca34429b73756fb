// Internal-failure reporting: the report written to standard error where a
// failure arises, and the exception that carries it to the entry guard.
#include "internal_failure.hpp"

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

#ifdef BROOKLET_FAILURE_BACKTRACE
#include <execinfo.h>
#endif

namespace brooklet::internal_failure {

namespace {

// Source paths are reported from the project root ("src/..."), whatever
// directory the build ran in.
std::string_view project_relative(std::string_view path) {
    constexpr std::string_view marker = "src/";
    if (path.starts_with(marker)) {
        return path;
    }
    const auto at = path.rfind("/src/");
    return at == std::string_view::npos ? path : path.substr(at + 1);
}

// The calling thread's name and id through the kernel rather than pthread_getname_np and
// gettid, which C libraries older than glibc 2.34 and 2.30 lack: the wheels load on those.
std::string current_thread_name() {
    char name[17] = {};  // the kernel's names are at most 16 bytes with the terminator
    if (prctl(PR_GET_NAME, name) != 0 || name[0] == '\0') {
        return "<unnamed>";
    }
    return name;
}

long current_thread_id() { return syscall(SYS_gettid); }

void write_backtrace() {
#ifdef BROOKLET_FAILURE_BACKTRACE
    void* frames[64];
    const int count = backtrace(frames, 64);
    std::fputs("native stack trace:\n", stderr);
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
#endif
}

}  // namespace

void write_failure_report(std::string_view message, const std::source_location& where) {
    const std::string thread = current_thread_name();
    const std::string_view file = project_relative(where.file_name());
    (void)std::fprintf(stderr, "\nthread '%s' (%ld) hit an internal failure at %.*s:%u:%u:\n%.*s\n",
                       thread.c_str(), current_thread_id(), static_cast<int>(file.size()),
                       file.data(), static_cast<unsigned>(where.line()),
                       static_cast<unsigned>(where.column()), static_cast<int>(message.size()),
                       message.data());
    write_backtrace();
    (void)std::fflush(stderr);
}

void fail(std::string message, std::source_location where) {
    write_failure_report(message, where);
    throw InternalFailure(FailurePayload(std::move(message)));
}

void fail_fixed(const char* message, std::source_location where) {
    write_failure_report(message, where);
    throw InternalFailure(FailurePayload(message));
}

void resume_failure(std::string message) {
    throw InternalFailure(FailurePayload(std::move(message)));
}

}  // namespace brooklet::internal_failure
