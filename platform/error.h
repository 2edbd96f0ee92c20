// A failure reported by a platform service, carried as the service's own description text.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace qfx::platform {

/// A service failure. `description` is the service's own one-line text (on macOS the NSError's
/// localizedDescription; on Linux a sentence naming what failed and the system's reason). The recorder passes
/// such a value on unchanged where it does not wrap it in one of the tool's own failures.
struct Error {
    std::string description;

    friend bool operator==(const Error&, const Error&) = default;
};

/// "An error or none", the answer of operations that either succeed or fail with a service error.
using MaybeError = std::optional<Error>;

/// A value or the service error that kept it from being made.
template <class T>
class Result {
public:
    Result(T value) : content_(std::move(value)) {}     // NOLINT(google-explicit-constructor)
    Result(Error error) : content_(std::move(error)) {} // NOLINT(google-explicit-constructor)

    [[nodiscard]] bool ok() const { return content_.index() == 0; }
    [[nodiscard]] T& value() { return std::get<0>(content_); }
    [[nodiscard]] const Error& error() const { return std::get<1>(content_); }

private:
    std::variant<T, Error> content_;
};

} // namespace qfx::platform
