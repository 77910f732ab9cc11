#pragma once

#include <memory>
#include <mutex>

namespace vask {

// One shared object built on first use, exactly once even when the first uses race. A factory
// that throws leaves it unbuilt, so the next use tries again.
template <typename T>
class Lazy {
  public:
    template <typename Make>
    const std::shared_ptr<T>& get(Make&& make) {
        std::call_once(once_, [&] { value_ = make(); });
        return value_;
    }

  private:
    std::once_flag once_;
    std::shared_ptr<T> value_;
};

}  // namespace vask
