#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/file_access_config.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/http_client.h"
#include "platform/url.h"
#include "sources/file_access_logger.h"
#include "sources/file_access_types.h"
#include "sources/file_search.h"
#include "sources/page_drawer.h"
#include "sources/vision_parser_providing.h"
#include "store/shadow_db.h"

namespace vask {

// Finds the user's files that match a question in the folders they allowed, turns them into
// markdown (directly, through the rich-text readers, or through a vision model for PDFs and
// images) and keeps the text in the shadow database's file cache for the engine. An actor: its
// public operations run one at a time.
//
// Paths are resolved (symbolic links followed) before the scope and exclusion checks, and so are
// the fixed starts of the exclusion patterns, so a link inside an allowed folder that leads into
// an excluded one, or out of the allowed folders, is never read. A file is then opened once by
// walking its resolved path from its allowed folder without following links, and only that
// descriptor is read, hashed and parsed.
class FileAccessService {
  public:
    static constexpr std::string_view visionPrompt =
        "Convert this document page to clean markdown.\n"
        "- Preserve headings, lists, and tables\n"
        "- Describe images or charts briefly\n"
        "- Keep important formatting\n"
        "- Be concise but complete";

    struct Options {
        FileSearch::Options search;
        // Larger files are skipped (and logged) rather than read into memory.
        std::uintmax_t maxFileBytes = std::uintmax_t{64} * 1024 * 1024;
        const Clock* clock = &Clock::system();
        // Where "~" leads.
        Environment environment = processEnvironment();
        // How PDF pages are drawn for the vision model, and within what limits.
        PageDrawer::Options pageDrawer;
    };

    // With the turn's credentials: the customer token when it is not blank, else the API key when
    // it is not blank, else no vision client. `relayBaseURL` is the relay's root, reached
    // through `http`. Throws ShadowDB::Error when the database or either schema cannot be opened
    // or created.
    FileAccessService(const std::filesystem::path& dbPath, const std::optional<std::string>& apiKey,
                      const std::optional<std::string>& customerToken,
                      const FileAccessConfig& config, const Url& relayBaseURL,
                      const HttpClient& http, Options options);
    FileAccessService(const std::filesystem::path& dbPath, FileAccessConfig config,
                      std::shared_ptr<const VisionParserProviding> visionClient, Options options);

    // The number of files parsed and stored by this call (cache hits do not count). Never fails:
    // each file's failure is logged and the next file is tried. `stop` is checked before each
    // file and also ends the search and a vision request under way.
    std::int64_t prefetch(std::string_view query, std::stop_token stop = {});

    // Allowed hits, best matches first, then newest first (equal dates keep the search's order).
    std::vector<FileCandidate> findFiles(std::string_view query, std::stop_token stop = {}) const;
    std::vector<std::string> allowedScopes() const;
    std::vector<std::filesystem::path> resolvedScopes() const;
    bool isExcluded(std::string_view path) const;
    bool isAllowed(std::string_view path) const;

    bool hasVisionClient() const { return visionClient_ != nullptr; }
    const std::shared_ptr<const VisionParserProviding>& visionClient() const {
        return visionClient_;
    }

  private:
    // A path that passed the checks, resolved, and the resolved allowed folder it lies in.
    struct AllowedPath {
        std::filesystem::path path;
        std::filesystem::path root;
    };

    std::optional<AllowedPath> allowedResolvedPath(std::string_view path) const;
    std::string expandTilde(std::string_view path) const;

    bool cacheFile(const FileCandidate& candidate, bool visionEligible, std::stop_token stop);
    FileParseResult parseFile(const std::filesystem::path& path, const std::string& bytes,
                              bool visionEligible, std::stop_token stop);
    FileParseResult parseText(const std::filesystem::path& path, const std::string& bytes,
                              std::stop_token stop);
    FileParseResult parseDocument(const std::string& bytes, std::stop_token stop);
    FileParseResult parsePDF(const std::filesystem::path& path, const std::string& bytes,
                             std::stop_token stop);
    FileParseResult parsePDFWithVision(const PageDrawer& drawer, int pageCount,
                                       const std::filesystem::path& path, std::stop_token stop);
    FileParseResult parseImage(const std::filesystem::path& path, const std::string& bytes,
                               std::stop_token stop);
    FileParseResult parseImageWithVision(const std::filesystem::path& path,
                                         const std::string& bytes, std::stop_token stop);
    void requireVision(std::stop_token stop);
    ParseModel visionParseModel() const;

    bool canUseVision(std::stop_token stop);
    bool isVisionModelSupported(const std::string& model, std::stop_token stop);

    FileAccessConfig config_;
    Options options_;
    std::unique_ptr<ShadowDB> db_;
    std::shared_ptr<const VisionParserProviding> visionClient_;
    std::optional<std::set<std::string>> visionModelsCache_;
    FileAccessLogger logger_;
    std::string home_;
    // Each exclusion pattern with "~" expanded, and again with its fixed start resolved when
    // that differs.
    std::vector<std::string> excludedPatterns_;
    FileSearch search_;
    std::mutex mutex_;
};

}  // namespace vask
