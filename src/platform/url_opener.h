#pragma once

#include <string>

namespace vask {

// Opens an address with the desktop (the default browser for web pages). Returns whether the
// desktop took it; the application implements it with the toolkit, tests record the calls.
class UrlOpener {
  public:
    virtual ~UrlOpener() = default;
    virtual bool open(const std::string& url) = 0;
};

// Puts plain text on the clipboard.
class Clipboard {
  public:
    virtual ~Clipboard() = default;
    virtual void setText(const std::string& text) = 0;
};

}  // namespace vask
