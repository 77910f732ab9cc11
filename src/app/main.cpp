#include <cstdio>
#include <cstdlib>
#include <exception>

#include "foundation/app_environment.h"
#include "foundation/app_installation_gate.h"
#include "foundation/structured_logger.h"

int main() {
    using namespace vask;
    const StructuredLogger logger("launch");

    StderrAlertPresenter presenter;
    AppInstallationGate::requireCanonicalInstall(presenter, [] { std::exit(EXIT_FAILURE); });

    StructuredLogger::Metadata started{
        {"instance", AppEnvironment::supportDirectoryName()},
        {"production", AppEnvironment::isProductionInstance() ? "true" : "false"},
        {"version", VASK_VERSION}};
    try {
        started["support_dir"] = AppEnvironment::supportDirectoryURL().string();
    } catch (const std::exception& error) {
        logger.error("support_dir_failed", {{"error", error.what()}});
        return EXIT_FAILURE;
    }
    logger.info("app_started", started);

    std::puts("Vask is set up, but its user interface is not built yet.");
    return EXIT_SUCCESS;
}
