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

FilePrefetchServiceFactory fileAccessPrefetchFactory(Url relayBaseURL, const HttpClient& http) {
    return [relayBaseURL = std::move(relayBaseURL), &http](
               const std::string& dbPath, const std::optional<std::string>& apiKey,
               const std::optional<std::string>& customerToken,
               const FileAccessConfig& config) -> std::unique_ptr<FilePrefetchService> {
        return std::make_unique<FileAccessPrefetch>(
            std::make_unique<FileAccessService>(dbPath, apiKey, customerToken, config, relayBaseURL,
                                                http, FileAccessService::Options{}));
    };
}

}  // namespace vask
