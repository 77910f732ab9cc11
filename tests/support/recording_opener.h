#pragma once

#include <string>
#include <vector>

#include "platform/url_opener.h"

namespace vask::test {

// An opener that records the addresses it is asked to open, and opens them while `opens` says
// so: set it false for a desktop where nothing takes them.
struct RecordingOpener final : UrlOpener {
    bool open(const std::string& url) override {
        urls.push_back(url);
        return opens;
    }
    std::vector<std::string> urls;
    bool opens = true;
};

}  // namespace vask::test
