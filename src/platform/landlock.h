#pragma once

namespace vask {

// The Landlock ABI version this system's kernel offers; 0 when it has none or it is not enabled.
// Asked of the kernel once in a process: what the kernel offers does not change while it runs.
int kernelLandlockAbi();

}  // namespace vask
