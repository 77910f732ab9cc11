#pragma once

#include <filesystem>
#include <functional>

#include "platform/alert_presenter.h"

namespace vask {

class AppInstallation {
  public:
    enum class Status { installed, requiresInstallation };

    struct Context {
        std::filesystem::path bundleURL;          // the running executable
        std::filesystem::path requiredBundleURL;  // where the package installs it
        bool isDevBuild = false;
    };

    // Compares the two locations after resolving symbolic links and "." and ".." components.
    static Status check(const Context& context);
};

// Keeps a packaged Vask to the one location it was installed to, so that the access the system
// grants it stays attached to one program. Development builds run from wherever they were built.
class AppInstallationGate {
  public:
    // The running executable, the installed path from the build, and whether this build is a
    // development one (not built with VASK_PACKAGED).
    static AppInstallation::Context currentContext();

    static Alert alert();

    // Returns when the location is right or the build is a development one. Otherwise shows the
    // alert and calls `terminate`, which is not expected to return.
    static void requireCanonicalInstall(AlertPresenter& presenter,
                                        const std::function<void()>& terminate);
    static void requireCanonicalInstall(const AppInstallation::Context& context,
                                        AlertPresenter& presenter,
                                        const std::function<void()>& terminate);
};

}  // namespace vask
