// Internal failures: unrecoverable errors inside the module (an index past the
// end, a broken invariant, an interpreter call that can only fail when memory
// is exhausted). They abandon the current call by C++ unwinding, so every frame
// left releases what it owns, and only the entry guard catches them.
//
// Free of the interpreter, so that the routing side and the binding both report
// through it, and neither includes the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>
#include <string>
#include <string_view>
#include <variant>

namespace brooklet::internal_failure {

// What a failure carries. A formatted message is owned text, a literal is
// fixed text; anything else (a foreign C++ exception) carries no text at all.
struct NoTextPayload {};
using FailurePayload = std::variant<std::string, const char*, NoTextPayload>;

class InternalFailure {
public:
    explicit InternalFailure(FailurePayload payload) : payload_(std::move(payload)) {}

    FailurePayload take_payload() && { return std::move(payload_); }

private:
    FailurePayload payload_;
};

// Writes the failure report (thread, source location, message) to standard
// error at the moment the failure arises.
void write_failure_report(std::string_view message, const std::source_location& where);

// Reports and throws an internal failure with an owned message.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// Reports and throws an internal failure with a fixed message.
[[noreturn]] void fail_fixed(const char* message,
                             std::source_location where = std::source_location::current());

// Throws an internal failure without writing a report (used when a failure
// that was already reported elsewhere is resumed).
[[noreturn]] void resume_failure(std::string message);

// Byte size beyond which no buffer may be allocated (the largest signed size).
inline constexpr std::size_t max_allocation_bytes = static_cast<std::size_t>(PTRDIFF_MAX);

}  // namespace brooklet::internal_failure
