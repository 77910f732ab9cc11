#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vask {

// Opens an address with the desktop (the default browser for web pages). Returns whether the
// desktop took it; the application implements it with the toolkit, tests record the calls.
class UrlOpener {
  public:
    virtual ~UrlOpener() = default;
    virtual bool open(const std::string& url) = 0;

    // Nothing when the address was shown, else why not; may run on any thread.
    using Finished = std::function<void(std::optional<std::string> failure)>;
    // Opens and reports, once the desktop has had its say, whether the address was shown. By
    // default the answer of open(), at once.
    // NOLINTNEXTLINE(performance-unnecessary-value-param): overriders keep the callback.
    virtual void openReporting(const std::string& url, Finished finished) {
        finished(open(url) ? std::nullopt
                           : std::optional<std::string>("nothing on the desktop opens it"));
    }
};

// What a view says when `what` ("the link", "the account page") did not open, `why` being the
// opener's own account: "Couldn't open the link (xdg-open exited with status 4)."
inline std::string openFailureText(std::string_view what, std::string_view why) {
    std::string text = "Couldn't open ";
    text.append(what);
    text += " (";
    text.append(why);
    text += ").";
    return text;
}

// Puts plain text on the clipboard.
class Clipboard {
  public:
    virtual ~Clipboard() = default;
    virtual void setText(const std::string& text) = 0;
};

}  // namespace vask
