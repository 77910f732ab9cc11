#include "engine/file_access_prefetch.h"

#include "sources/file_access_service.h"

namespace vask {
namespace {

class FileAccessPrefetch final : public FilePrefetchService {
  public:
    explicit FileAccessPrefetch(std::unique_ptr<FileAccessService> service)
        : service_(std::move(service)) {}

    std::int64_t prefetch(const std::string& query, std::stop_token stop) override {
        return service_->prefetch(query, std::move(stop));
    }

  private:
    std::unique_ptr<FileAccessService> service_;
};

}  // namespace

FilePrefetchServiceFactory fileAccessPrefetchFactory(Url relayBaseURL, const HttpClient& http,
                                                     PageDrawer::Options pageDrawing) {
    // What the page drawers learn of this system holds for every question of the run, in
    // whichever chat it is asked.
    pageDrawing.system = PageDrawer::SystemRecord::ofThisProgram();
    return [relayBaseURL = std::move(relayBaseURL), &http, pageDrawing = std::move(pageDrawing)](
               const std::string& dbPath, const std::optional<std::string>& apiKey,
               const std::optional<std::string>& customerToken,
               const FileAccessConfig& config) -> std::unique_ptr<FilePrefetchService> {
        FileAccessService::Options options;
        options.pageDrawer = pageDrawing;
        return std::make_unique<FileAccessPrefetch>(std::make_unique<FileAccessService>(
            dbPath, apiKey, customerToken, config, relayBaseURL, http, std::move(options)));
    };
}

}  // namespace vask
