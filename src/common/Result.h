#pragma once
// A value or an error with a one-line description; the error domain and code are kept for
// the system's own errors ("Loomcast", small integers) and platform errors alike.
#include <string>
#include <utility>
#include <variant>

namespace lc {

struct Error {
    std::string message;
    std::string domain = "Loomcast";
    int code = 0;
};

template <class T> class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    const Error& error() const { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return error_; }

private:
    Error error_;
    bool failed_ = false;
};

inline Error makeError(std::string message, int code = 0, std::string domain = "Loomcast") {
    return Error{std::move(message), std::move(domain), code};
}

} // namespace lc
