#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vask {

// An absolute URL, parsed strictly: a scheme, and for http and https a host. Text with blanks,
// control characters or other characters a URL cannot hold unescaped does not parse.
class Url {
  public:
    // A query item; "?code" has no value, "?code=" an empty one.
    struct QueryItem {
        std::string name;
        std::optional<std::string> value;
        bool operator==(const QueryItem&) const = default;
    };
    using QueryItems = std::vector<QueryItem>;

    static std::optional<Url> parse(std::string_view text);

    const std::string& absoluteString() const { return text_; }
    const std::string& scheme() const { return scheme_; }
    const std::string& host() const { return host_; }
    std::optional<int> port() const { return port_; }
    const std::string& path() const { return path_; }
    const std::string& query() const { return query_; }
    const std::string& fragment() const { return fragment_; }
    // The query's items, percent-decoded, in order; "+" is kept as it is.
    QueryItems queryItems() const;

    // This URL with `relative` appended to its path, joined by exactly one "/"; query and
    // fragment are dropped. `relative` is used as it is (callers pass fixed API paths).
    Url appendingPath(std::string_view relative) const;
    // This URL with its query replaced by `items`, each name and value percent-encoded.
    Url withQueryItems(const QueryItems& items) const;

    // Percent-encodes everything but the unreserved characters of RFC 3986.
    static std::string percentEncode(std::string_view text);
    static std::string percentDecode(std::string_view text);

    bool operator==(const Url& other) const { return text_ == other.text_; }

  private:
    Url() = default;
    void rebuild();

    std::string text_;
    std::string scheme_;
    std::string userInfo_;
    std::string host_;
    std::optional<int> port_;
    bool hasAuthority_ = false;
    std::string path_;
    std::string query_;
    bool hasQuery_ = false;
    std::string fragment_;
    bool hasFragment_ = false;
};

}  // namespace vask
