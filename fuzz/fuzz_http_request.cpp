// Feeds arbitrary bytes to the loopback endpoint's request parser, whole and cut at every tenth
// byte, as reads may split them. A complete request must stay complete, with the same body, once
// more bytes arrive, and its body must come from the buffer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "proactive/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view buffer(reinterpret_cast<const char*>(data), size);
    std::optional<vask::HTTPRequest> earlier;
    for (std::size_t cut = 0;; cut = std::min(cut + 10, size)) {
        const auto request = vask::HTTPRequest::parseIfComplete(buffer.substr(0, cut));
        if (earlier && (!request || request->body != earlier->body ||
                        request->method != earlier->method || request->path != earlier->path)) {
            std::abort();
        }
        if (request && buffer.find(request->body) == std::string_view::npos) {
            std::abort();
        }
        if (request) {
            earlier = request;
        }
        if (cut == size) {
            break;
        }
    }
    return 0;
}
