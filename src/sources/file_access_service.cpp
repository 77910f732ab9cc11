#include "sources/file_access_service.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <numeric>

#include "platform/crypto.h"
#include "platform/file_io.h"
#include "platform/text.h"
#include "sources/corvane_vision_client.h"
#include "sources/decoding/text_decoding.h"
#include "sources/file_beneath.h"
#include "sources/file_types.h"
#include "sources/image_converter.h"
#include "sources/rich_text_reader.h"

namespace vask {
namespace fs = std::filesystem;

namespace {

// "/a/./b/../c/" as "/a/c": the standardised form paths and scopes are compared in.
std::string standardised(std::string_view path) {
    auto text = fs::path(path).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

bool isWithin(std::string_view path, std::string_view scope) {
    if (path == scope) {
        return true;
    }
    if (scope.ends_with('/')) {
        return path.starts_with(scope);
    }
    return path.size() > scope.size() && path.starts_with(scope) && path[scope.size()] == '/';
}

std::string resolved(const std::string& path) {
    std::error_code ec;
    auto canonical = fs::weakly_canonical(path, ec);
    return ec ? path : standardised(canonical.string());
}

// The pattern with the fixed folder it starts with resolved, so that it matches the resolved
// paths under that folder when the folder, or one above it, is a link ("~/.ssh" leading to
// "~/dotfiles/ssh"). A pattern without a fixed absolute start is kept as it is.
std::string resolvedPattern(const std::string& pattern) {
    const auto wildcard = pattern.find_first_of("*?[\\");
    const auto end = wildcard == std::string::npos ? pattern.size() : pattern.rfind('/', wildcard);
    if (end == std::string::npos || end == 0 || !pattern.starts_with('/')) {
        return pattern;
    }
    return resolved(pattern.substr(0, end)) + pattern.substr(end);
}

std::int32_t clampedInt32(std::int64_t value) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

FileAccessService::FileAccessService(const fs::path& dbPath, FileAccessConfig config,
                                     std::shared_ptr<const VisionParserProviding> visionClient,
                                     Options options)
    : config_(std::move(config)),
      options_(std::move(options)),
      visionClient_(std::move(visionClient)),
      search_(options_.search) {
    if (const auto home = homeDirectory(options_.environment)) {
        home_ = standardised(home->string());
    }
    for (const auto& pattern : config_.excludedPatterns) {
        auto expanded = expandTilde(pattern);
        auto real = resolvedPattern(expanded);
        excludedPatterns_.push_back(std::move(expanded));
        if (real != excludedPatterns_.back()) {
            excludedPatterns_.push_back(std::move(real));
        }
    }
    db_ = std::make_unique<ShadowDB>(dbPath, ShadowDB::OpenMode::readWrite);
    db_->createSchemaIfNeeded();
    db_->createFileCacheSchemaIfNeeded();
}

namespace {

std::shared_ptr<const VisionParserProviding> visionClientFor(
    const std::optional<std::string>& apiKey, const std::optional<std::string>& customerToken,
    const FileAccessConfig& config, const Url& relayBaseURL, const HttpClient& http) {
    if (customerToken) {
        if (const auto token = text::trimmed(*customerToken); !token.empty()) {
            return std::make_shared<CorvaneVisionClient>(CorvaneVisionClient::withCustomerToken(
                std::string(token), config.requestTimeoutSeconds, relayBaseURL, http));
        }
    }
    if (apiKey) {
        if (const auto key = text::trimmed(*apiKey); !key.empty()) {
            return std::make_shared<CorvaneVisionClient>(CorvaneVisionClient::withApiKey(
                std::string(key), config.requestTimeoutSeconds, relayBaseURL, http));
        }
    }
    return nullptr;
}

// A file passed over (one that needs vision, or is too large) or one whose read failed.
void logPrefetchFailure(const FileAccessLogger& logger, const FileCandidate& candidate,
                        const std::exception& error) {
    const auto* access = dynamic_cast<const FileAccessError*>(&error);
    if (access != nullptr && access->kind() == FileAccessError::Case::visionRequired) {
        logger.error("file_prefetch_skipped",
                     {{"path", candidate.path}, {"reason", "vision_required"}});
    } else if (access != nullptr && access->kind() == FileAccessError::Case::tooLarge) {
        logger.error("file_prefetch_skipped", {{"path", candidate.path},
                                               {"reason", "too_large"},
                                               {"size", std::to_string(candidate.size)}});
    } else {
        logger.error("file_prefetch_failed", {{"path", candidate.path}, {"error", error.what()}});
    }
}

}  // namespace

FileAccessService::FileAccessService(const fs::path& dbPath,
                                     const std::optional<std::string>& apiKey,
                                     const std::optional<std::string>& customerToken,
                                     const FileAccessConfig& config, const Url& relayBaseURL,
                                     const HttpClient& http, Options options)
    : FileAccessService(dbPath, config,
                        visionClientFor(apiKey, customerToken, config, relayBaseURL, http),
                        std::move(options)) {}

// --- Scopes and exclusions

std::string FileAccessService::expandTilde(std::string_view path) const {
    if (path == "~" || path.starts_with("~/")) {
        return home_ + std::string(path.substr(1));
    }
    return std::string(path);
}

std::vector<std::string> FileAccessService::allowedScopes() const {
    std::vector<std::string> scopes;
    for (const auto& scope : config_.allowedScopes) {
        scopes.push_back(standardised(expandTilde(scope)));
    }
    return scopes;
}

std::vector<fs::path> FileAccessService::resolvedScopes() const {
    std::vector<fs::path> scopes;
    for (const auto& scope : allowedScopes()) {
        std::error_code ec;
        if (fs::exists(scope, ec)) {
            scopes.emplace_back(scope);
        }
    }
    return scopes;
}

bool FileAccessService::isExcluded(std::string_view path) const {
    const std::string subject(path);
    return std::any_of(excludedPatterns_.begin(), excludedPatterns_.end(),
                       [&](const std::string& pattern) {
                           return ::fnmatch(pattern.c_str(), subject.c_str(), 0) == 0;
                       });
}

std::optional<FileAccessService::AllowedPath> FileAccessService::allowedResolvedPath(
    std::string_view path) const {
    const auto lexical = standardised(path);
    if (isExcluded(lexical)) {
        return std::nullopt;
    }
    const auto real = resolved(lexical);
    if (isExcluded(real) || isExcluded(real + "/")) {
        return std::nullopt;
    }
    for (const auto& scope : allowedScopes()) {
        const auto root = resolved(scope);
        if (isWithin(real, root)) {
            return AllowedPath{fs::path(real), fs::path(root)};
        }
    }
    return std::nullopt;
}

bool FileAccessService::isAllowed(std::string_view path) const {
    return allowedResolvedPath(path).has_value();
}

// --- Search

std::vector<FileCandidate> FileAccessService::findFiles(std::string_view query,
                                                        std::stop_token stop) const {
    const auto scopes = resolvedScopes();
    if (scopes.empty()) {
        return {};
    }
    std::vector<fs::path> searchRoots;
    searchRoots.reserve(scopes.size());
    for (const auto& scope : scopes) {
        searchRoots.emplace_back(resolved(scope.string()));
    }
    const auto limit = static_cast<std::size_t>(std::max<std::int64_t>(config_.maxFiles, 0)) * 4;
    FileSearch::Result found;
    try {
        found = search_.search(
            query, searchRoots, limit, [this](const std::string& p) { return isExcluded(p); },
            stop);
    } catch (const FileSearchError& error) {
        logger_.error("mdfind_error", {{"error", error.what()}});
        return {};
    }
    if (found.timedOut || found.cancelled) {
        logger_.error("file_search_incomplete",
                      {{"reason", found.cancelled ? "cancelled" : "timed_out"},
                       {"found", std::to_string(found.paths.size())}});
    }

    std::vector<FileCandidate> candidates;
    std::vector<int> scores;
    for (std::size_t i = 0; i < found.paths.size(); ++i) {
        auto& path = found.paths[i];
        const auto real = allowedResolvedPath(path);
        if (!real) {
            continue;
        }
        struct stat info {};
        if (::stat(real->path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        FileCandidate candidate;
        candidate.name = fs::path(path).filename().string();
        if (const auto type = FileTypes::forPath(path)) {
            candidate.kind = std::string(type->kind);
        }
        candidate.size = static_cast<std::int64_t>(info.st_size);
        candidate.modified = Clock::WallTime(std::chrono::duration_cast<Clock::WallTime::duration>(
            std::chrono::seconds(info.st_mtim.tv_sec) +
            std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
        candidate.path = std::move(path);
        candidates.push_back(std::move(candidate));
        scores.push_back(i < found.scores.size() ? found.scores[i] : 0);
    }
    // Better matches first; the newest first among equal ones (all are equal when the search
    // command ranked nothing), then the search's order.
    std::vector<std::size_t> order(candidates.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (scores[a] != scores[b]) {
            return scores[a] > scores[b];
        }
        return candidates[a].modified > candidates[b].modified;
    });
    std::vector<FileCandidate> ranked;
    ranked.reserve(candidates.size());
    for (const auto index : order) {
        ranked.push_back(std::move(candidates[index]));
    }
    return ranked;
}

// --- Prefetch

std::int64_t FileAccessService::prefetch(std::string_view query, std::stop_token stop) {
    const std::lock_guard lock(mutex_);
    const std::string trimmedQuery(text::trimmed(query));
    if (trimmedQuery.empty()) {
        return 0;
    }
    const bool visionEligible = canUseVision(stop);
    if (!visionEligible) {
        logger_.error("file_prefetch_vision_unavailable", {{"query", trimmedQuery}});
    }
    const auto candidates = findFiles(trimmedQuery, stop);
    if (candidates.empty()) {
        logger_.info("file_prefetch_empty", {{"query", trimmedQuery}});
        return 0;
    }
    std::int64_t cached = 0;
    const auto tries = std::min<std::size_t>(
        candidates.size(), static_cast<std::size_t>(std::max<std::int64_t>(config_.maxFiles, 0)));
    for (std::size_t i = 0; i < tries; ++i) {
        if (stop.stop_requested()) {
            break;
        }
        const auto& candidate = candidates[i];
        try {
            if (static_cast<std::uintmax_t>(candidate.size) > options_.maxFileBytes) {
                throw FileAccessError(FileAccessError::Case::tooLarge);
            }
            if (cacheFile(candidate, visionEligible, stop)) {
                ++cached;
            }
        } catch (const std::exception& error) {
            if (stop.stop_requested()) {
                // Cut short by the stop (the drawer killed, the request cancelled): not a fault
                // of the file, and nothing after it is tried.
                logger_.info("file_prefetch_stopped", {{"path", candidate.path}});
                break;
            }
            logPrefetchFailure(logger_, candidate, error);
        }
    }
    logger_.info("file_prefetch_completed", {{"query", trimmedQuery},
                                             {"candidates", std::to_string(candidates.size())},
                                             {"cached", std::to_string(cached)}});
    return cached;
}

// --- Cache

bool FileAccessService::cacheFile(const FileCandidate& candidate, bool visionEligible,
                                  std::stop_token stop) {
    // Checked again: the file system may have changed since the search. From here on only the
    // descriptor opened along the checked path is read, so a folder swapped for a link since the
    // check cannot lead the read elsewhere.
    const auto allowed = allowedResolvedPath(candidate.path);
    if (!allowed) {
        throw FileAccessError(FileAccessError::Case::unreadable);
    }
    const auto relative = allowed->path.lexically_relative(allowed->root);
    if (relative.empty() || relative == ".") {
        throw FileAccessError(FileAccessError::Case::unreadable);
    }
    const auto fd = FileBeneath::openRegularFile(allowed->root, relative);
    struct stat info {};
    if (::fstat(fd.get(), &info) == 0 &&
        static_cast<std::uintmax_t>(info.st_size) > options_.maxFileBytes) {
        throw FileAccessError(FileAccessError::Case::tooLarge);
    }
    const auto bytes = FileBeneath::readAll(fd, options_.maxFileBytes, stop);
    auto hash = Sha256::hex(bytes);
    if (const auto row = db_->fetchFileCache(candidate.path);
        row && row->fileHash == hash && !row->contentMarkdown.empty()) {
        logger_.info("file_cache_hit", {{"path", candidate.path}});
        return false;
    }
    auto result = parseFile(allowed->path, bytes, visionEligible, stop);
    FileCacheEntry entry;
    entry.path = candidate.path;
    entry.contentMarkdown = std::move(result.contentMarkdown);
    entry.fileHash = result.unhashed ? std::string() : std::move(hash);
    entry.parsedAt =
        std::chrono::duration_cast<std::chrono::seconds>(options_.clock->now().time_since_epoch())
            .count();
    entry.parseModel = result.parseModel.rawValue();
    entry.parseMethod = std::string(toString(result.parseMethod));
    entry.pageCount = clampedInt32(result.pageCount);
    entry.tokenCost = clampedInt32(result.tokenCost);
    db_->upsertFileCache(entry);
    return true;
}

// --- Parsing

FileParseResult FileAccessService::parseFile(const fs::path& path, const std::string& bytes,
                                             bool visionEligible, std::stop_token stop) {
    const auto type = FileTypes::forPath(path.string());
    if (type && type->isPDF()) {
        if (!visionEligible) {
            throw FileAccessError(FileAccessError::Case::visionRequired);
        }
        return parsePDF(path, bytes, stop);
    }
    if (type && type->isImage()) {
        if (!visionEligible) {
            throw FileAccessError(FileAccessError::Case::visionRequired);
        }
        return parseImage(path, bytes, stop);
    }
    if (type && type->isTextOrSourceCode()) {
        return parseText(path, bytes, stop);
    }
    // A page named .html is HTML whatever it starts with (a <meta>, a <div>, bare text).
    if (type && (type->mimeType == "text/html" || type->mimeType == "application/xhtml+xml")) {
        FileParseResult result;
        result.contentMarkdown = RichTextReader::htmlPageText(bytes, std::move(stop));
        result.parseMethod = ParseMethod::textExtraction;
        return result;
    }
    return parseDocument(bytes, stop);
}

FileParseResult FileAccessService::parseText(const fs::path& path, const std::string& bytes,
                                             std::stop_token stop) {
    FileParseResult result;
    if (auto text = decoding::unicodeText(bytes, stop)) {
        result.contentMarkdown = std::move(*text);
        result.parseMethod = ParseMethod::direct;
        return result;
    }
    const TextDecodingError utf8Error;
    logger_.error("file_text_decode_failed",
                  {{"path", path.string()}, {"encoding", "utf8"}, {"error", utf8Error.what()}});
    if (auto text = decoding::detected(bytes, nullptr, stop)) {
        logger_.error("file_text_decode_fallback", {{"path", path.string()}, {"method", "auto"}});
        result.contentMarkdown = std::move(*text);
        result.parseMethod = ParseMethod::directFallback;
        return result;
    }
    if (auto text = RichTextReader::plainText(bytes, stop)) {
        logger_.error("file_text_decode_fallback",
                      {{"path", path.string()}, {"method", "attributed"}});
        result.contentMarkdown = std::move(*text);
        result.parseMethod = ParseMethod::textExtractionFallback;
        return result;
    }
    throw utf8Error;
}

FileParseResult FileAccessService::parseDocument(const std::string& bytes, std::stop_token stop) {
    FileParseResult result;
    if (auto text = RichTextReader::plainText(bytes, stop)) {
        result.contentMarkdown = std::move(*text);
        result.parseMethod = ParseMethod::textExtraction;
        return result;
    }
    // The walk finds "README", "notes.rst" or "app.conf" by name: a file whose bytes are text is
    // read as text whatever its name says.
    if (auto text = decoding::plainText(bytes, stop)) {
        result.contentMarkdown = std::move(*text);
        result.parseMethod = ParseMethod::direct;
        return result;
    }
    throw FileAccessError(FileAccessError::Case::unsupportedType);
}

void FileAccessService::requireVision(std::stop_token stop) {
    if (config_.useVision == FileVisionMode::disabled) {
        throw FileAccessError(FileAccessError::Case::visionRequired);
    }
    if (!visionClient_) {
        throw FileAccessError(FileAccessError::Case::missingVisionClient);
    }
    if (config_.visionModel && !isVisionModelSupported(*config_.visionModel, stop)) {
        throw FileAccessError::unsupportedVisionModel(*config_.visionModel);
    }
}

ParseModel FileAccessService::visionParseModel() const {
    return config_.visionModel ? ParseModel::remote(*config_.visionModel)
                               : ParseModel::tierDefault();
}

FileParseResult FileAccessService::parsePDF(const fs::path& path, const std::string& bytes,
                                            std::stop_token stop) {
    // Pages are drawn, and counted, by a separate process within memory and time limits, per
    // page and for the whole document, and confined: no PDF is parsed in this process.
    const PageDrawer drawer(bytes, options_.pageDrawer);
    int pageCount = 0;
    try {
        pageCount = drawer.pageCount(stop);
    } catch (const PageDrawer::Unreadable&) {
        throw FileAccessError(FileAccessError::Case::unreadable);
    } catch (const PageDrawer::Unconfined& error) {
        // Said once in a run, in the text of the first PDF it costs, where the answer reads it;
        // later PDFs fail at once (no drawer is started again) and are only logged. No hash is
        // kept, so a later run reads the file again.
        if (!options_.pageDrawer.system->tellOnce()) {
            throw;
        }
        logger_.error("file_pages_not_drawn", {{"path", path.string()}, {"reason", error.what()}});
        FileParseResult result;
        result.contentMarkdown =
            "The pages of this PDF were not read: pages are not drawn on this system, where the "
            "page drawing program could not be confined (" +
            error.reason() + ").";
        result.parseMethod = ParseMethod::vision;
        result.parseModel = visionParseModel();
        result.unhashed = true;
        return result;
    }
    requireVision(stop);
    return parsePDFWithVision(drawer, pageCount, path, stop);
}

FileParseResult FileAccessService::parsePDFWithVision(const PageDrawer& drawer, int pageCount,
                                                      const fs::path& path, std::stop_token stop) {
    if (!visionClient_) {
        throw FileAccessError(FileAccessError::Case::missingVisionClient);
    }
    const auto filename = path.filename().string();
    const auto pages =
        std::max<std::int64_t>(1, std::min<std::int64_t>(config_.maxPages, pageCount));
    // A page past the drawing limits is named in the text instead of read.
    std::vector<std::string> sections;
    std::int64_t tokenCost = 0;
    for (std::int64_t i = 0; i < pages; ++i) {
        const auto page = drawer.draw(static_cast<int>(i), stop);
        if (!page.exists()) {
            continue;
        }
        const auto number = std::to_string(i + 1);
        if (page.documentTimeSpent) {
            const auto last = std::to_string(pages);
            const bool one = i + 1 == pages;
            logger_.error("file_pages_not_drawn",
                          {{"path", path.string()},
                           {"pages", one ? number : std::string(number).append("-").append(last)},
                           {"reason", *page.refusal}});
            auto section = std::string(one ? "## Page " : "## Pages ").append(number);
            if (!one) {
                section.append(" to ").append(last);
            }
            section.append(one ? "\n\nThis page was not read: " : "\n\nThese pages were not read: ")
                .append(*page.refusal)
                .append(".");
            sections.push_back(std::move(section));
            break;
        }
        if (page.refusal) {
            logger_.error("file_page_refused",
                          {{"path", path.string()}, {"page", number}, {"reason", *page.refusal}});
            sections.push_back("## Page " + number + "\n\nThis page was not read: it " +
                               *page.refusal + ".");
            continue;
        }
        auto pageName = filename + "-page-";
        pageName.append(number).append(".png");
        const auto output = visionClient_->parseMarkdown(visionPrompt, *page.png, "image/png",
                                                         pageName, config_.visionModel, stop);
        tokenCost += output.tokenCost;
        sections.push_back("## Page " + number + "\n\n" +
                           std::string(text::trimmed(output.markdown)));
    }
    FileParseResult result;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (i > 0) {
            result.contentMarkdown += "\n\n---\n\n";
        }
        result.contentMarkdown += sections[i];
    }
    result.parseMethod = ParseMethod::vision;
    result.parseModel = visionParseModel();
    result.pageCount = pageCount;
    result.tokenCost = tokenCost;
    return result;
}

FileParseResult FileAccessService::parseImage(const fs::path& path, const std::string& bytes,
                                              std::stop_token stop) {
    requireVision(stop);
    return parseImageWithVision(path, bytes, stop);
}

FileParseResult FileAccessService::parseImageWithVision(const fs::path& path,
                                                        const std::string& bytes,
                                                        std::stop_token stop) {
    if (!visionClient_) {
        throw FileAccessError(FileAccessError::Case::missingVisionClient);
    }
    const auto type = FileTypes::forPath(path.string());
    std::string mime = type ? std::string(type->mimeType) : "image/png";
    std::string_view payload = bytes;
    // Other formats go as PNG when they decode, and as they are (under their own type) when not.
    std::optional<std::string> converted;
    if (mime != "image/png" && mime != "image/jpeg") {
        converted = ImageConverter::toPNG(bytes);
        if (converted) {
            mime = "image/png";
            payload = *converted;
        }
    }
    const auto output = visionClient_->parseMarkdown(
        visionPrompt, payload, mime, path.filename().string(), config_.visionModel, stop);
    FileParseResult result;
    result.contentMarkdown = output.markdown;
    result.parseMethod = ParseMethod::vision;
    result.parseModel = visionParseModel();
    result.pageCount = 1;
    result.tokenCost = output.tokenCost;
    return result;
}

// --- Vision eligibility

bool FileAccessService::canUseVision(std::stop_token stop) {
    if (config_.useVision == FileVisionMode::disabled) {
        logger_.info("vision_check_disabled", {{"reason", "config.useVision is disabled"}});
        return false;
    }
    if (!visionClient_) {
        logger_.info("vision_check_no_client", {{"reason", "visionClient is nil (no API key?)"}});
        return false;
    }
    if (!config_.visionModel) {
        return true;
    }
    if (!isVisionModelSupported(*config_.visionModel, stop)) {
        logger_.info(
            "vision_check_model_not_supported",
            {{"model", *config_.visionModel}, {"reason", "model not in vision models list"}});
        return false;
    }
    return true;
}

bool FileAccessService::isVisionModelSupported(const std::string& model, std::stop_token stop) {
    if (visionModelsCache_) {
        const bool found = visionModelsCache_->contains(model);
        logger_.info("vision_model_check_cached",
                     {{"model", model},
                      {"found", found ? "true" : "false"},
                      {"cached_count", std::to_string(visionModelsCache_->size())}});
        return found;
    }
    if (!visionClient_) {
        return false;
    }
    try {
        visionModelsCache_ = visionClient_->fetchVisionModels(stop);
    } catch (const std::exception& error) {
        logger_.error("vision_model_list_failed", {{"error", error.what()}});
        return false;
    }
    const bool found = visionModelsCache_->contains(model);
    std::string available;
    for (const auto& id : *visionModelsCache_) {
        available += available.empty() ? id : "," + id;
    }
    logger_.info(
        "vision_model_check_fetched",
        {{"model", model}, {"found", found ? "true" : "false"}, {"available_models", available}});
    return found;
}

}  // namespace vask
