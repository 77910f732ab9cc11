#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "proactive/http_request.h"

namespace vask {

// Answers one complete request of the persona-context endpoint: the checks in their order (path,
// token, body, fields), then the shadow database read. Used by the endpoint's worker only.
class PersonaContextResponder {
  public:
    struct Response {
        int status = 200;
        std::string body;  // compact JSON

        // The whole message: head with Content-Type, Content-Length and "Connection: close", then
        // the body.
        std::string serialized() const;
    };

    PersonaContextResponder(std::filesystem::path shadowDBPath, std::string token);

    Response respond(const HTTPRequest& request) const;
    static Response error(int status, std::string_view code);

  private:
    std::filesystem::path shadowDBPath_;
    std::string token_;
};

}  // namespace vask
