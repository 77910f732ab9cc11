#pragma once

#include <clocale>
#include <cstdlib>
#include <optional>
#include <string>

#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace vask::test {

// The process runs under German number formatting (a comma before the decimals) for one scope,
// as it does once the application object adopts a German user's locale. The locale is compiled
// into a folder of the test's own with localedef, so the machine needs none installed; `reason`
// says why when it could not be had, and the scope then changes nothing.
class ScopedCommaLocale {
  public:
    static constexpr const char* name = "de_DE.UTF-8";

    ScopedCommaLocale() {
        const std::string command =
            "localedef -i de_DE -f UTF-8 '" + (dir_ / name).string() + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) {
            reason = "localedef could not build de_DE.UTF-8 (no localedef or no locale sources)";
            return;
        }
        environment_.set("LOCPATH", dir_.path().string());
        previous_ = std::setlocale(LC_ALL, nullptr);
        if (std::setlocale(LC_ALL, name) == nullptr) {
            reason = "the C library would not load the locale built by localedef";
            previous_.reset();
            return;
        }
        active = true;
    }
    ~ScopedCommaLocale() {
        if (previous_) {
            std::setlocale(LC_ALL, previous_->c_str());
        }
    }
    ScopedCommaLocale(const ScopedCommaLocale&) = delete;
    ScopedCommaLocale& operator=(const ScopedCommaLocale&) = delete;

    bool active = false;
    std::string reason;

  private:
    TempDir dir_;
    ScopedEnvironment environment_;
    std::optional<std::string> previous_;
};

}  // namespace vask::test
