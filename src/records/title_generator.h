#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vask {

// A short title for a chat, made by a model from one exchange. Best effort: every problem
// (no credentials, no network, an empty or unusable reply) gives no title, and the caller keeps
// the title it has.
class TitleGenerator {
  public:
    // The sign-in's credentials for the model call.
    struct Credentials {
        std::optional<std::string> apiKey;
        std::optional<std::string> customerToken;

        bool operator==(const Credentials&) const = default;
    };

    // One one-shot completion through the relay, on the relay client's default model route and
    // without a preflight check.
    struct CompletionRequest {
        std::string prompt;
        int maxOutputTokens = 0;
        Credentials credentials;
        std::string reasoningEffort;
        std::chrono::seconds timeout{0};
    };

    // The relay's completion: the model's text, or nothing on any failure. Never throws.
    using Complete = std::function<std::optional<std::string>(const CompletionRequest&)>;

    static constexpr std::size_t excerptCharacters = 500;
    static constexpr int maxOutputTokens = 512;
    static constexpr std::chrono::seconds timeout{20};
    static constexpr std::string_view reasoningEffort = "none";
    static constexpr std::size_t maxTitleCharacters = 40;

    // Blocking (it waits for the completion): run it off the main thread.
    static std::optional<std::string> generate(std::string_view user, std::string_view assistant,
                                               const Credentials& credentials,
                                               const Complete& complete) noexcept;

    // The exact prompt sent for one exchange; characters are grapheme clusters.
    static std::string prompt(std::string_view user, std::string_view assistant);

  private:
    static std::optional<std::string> sanitize(std::string_view raw);
};

}  // namespace vask
