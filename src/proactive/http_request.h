#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vask {

// One HTTP/1.1 request as the loopback endpoint reads it. Standard library only, so the fuzzer
// builds this file on its own.
struct HTTPRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;  // names lower-cased, values trimmed
    std::string body;

    // The request at the start of `buffer` once its head and its Content-Length bytes of body
    // have all arrived; nothing while more is needed. A head that is not UTF-8, a malformed
    // request line or a missing or unreadable Content-Length never completes. Bytes after the
    // body are ignored.
    static std::optional<HTTPRequest> parseIfComplete(std::string_view buffer);
};

}  // namespace vask
