#include "platform/landlock.h"

#include <linux/landlock.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vask {

int kernelLandlockAbi() {
    static const int abi = [] {
        const auto version =
            ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
        return version < 0 ? 0 : static_cast<int>(version);
    }();
    return abi;
}

}  // namespace vask
