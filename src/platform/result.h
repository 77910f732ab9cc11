#pragma once

#include <utility>
#include <variant>

namespace vask {

// The outcome of an operation that reports failure as a value instead of throwing.
template <typename T, typename E>
class Result {
  public:
    static Result success(T value) { return Result(std::in_place_index<0>, std::move(value)); }
    static Result failure(E error) { return Result(std::in_place_index<1>, std::move(error)); }

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const E& error() const& { return std::get<1>(state_); }

    bool operator==(const Result&) const = default;

  private:
    template <std::size_t I, typename V>
    Result(std::in_place_index_t<I> tag, V&& v) : state_(tag, std::forward<V>(v)) {}

    std::variant<T, E> state_;
};

}  // namespace vask
