#include "foundation/app_installation_gate.h"

#include <system_error>

#ifndef VASK_INSTALLED_EXECUTABLE
#error "VASK_INSTALLED_EXECUTABLE must be defined by the build"
#endif

namespace vask {
namespace {

std::filesystem::path normalised(const std::filesystem::path& path) {
    std::error_code error;
    auto resolved = std::filesystem::weakly_canonical(path, error);
    if (error) {
        resolved = path;
    }
    resolved = resolved.lexically_normal();
    // "/a/b/" and "/a/b" are one location.
    if (!resolved.has_filename() && resolved.has_parent_path() &&
        resolved != resolved.root_path()) {
        resolved = resolved.parent_path();
    }
    return resolved;
}

}  // namespace

AppInstallation::Status AppInstallation::check(const Context& context) {
    return normalised(context.bundleURL) == normalised(context.requiredBundleURL)
               ? Status::installed
               : Status::requiresInstallation;
}

AppInstallation::Context AppInstallationGate::currentContext() {
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
#ifdef VASK_PACKAGED_BUILD
    constexpr bool packaged = true;
#else
    constexpr bool packaged = false;
#endif
    return AppInstallation::Context{error ? std::filesystem::path() : executable,
                                    std::filesystem::path(VASK_INSTALLED_EXECUTABLE), !packaged};
}

Alert AppInstallationGate::alert() {
    return Alert{Alert::Style::informational,
                 "Run Vask from its installed location",
                 "Before opening Vask, install it with your package manager. Then open Vask from "
                 "your applications menu.\n\nVask needs one stable location so this computer can "
                 "keep its access to your Messages history across launches and updates.",
                 {"Quit Vask"}};
}

void AppInstallationGate::requireCanonicalInstall(AlertPresenter& presenter,
                                                  const std::function<void()>& terminate) {
    requireCanonicalInstall(currentContext(), presenter, terminate);
}

void AppInstallationGate::requireCanonicalInstall(const AppInstallation::Context& context,
                                                  AlertPresenter& presenter,
                                                  const std::function<void()>& terminate) {
    if (context.isDevBuild ||
        AppInstallation::check(context) == AppInstallation::Status::installed) {
        return;
    }
    presenter.runModal(alert());
    terminate();
}

}  // namespace vask
