#include "foundation/cloud_config.h"

#include "foundation/nil_if_empty.h"

namespace vask {

CloudBaseURLSource resolveBaseURL(const Environment& env) {
    const auto it = env.find("VASK_CLOUD_BASE_URL");
    if (it == env.end()) {
        return CloudBaseURLSource::defaultProd();
    }
    const auto value = nilIfEmpty(it->second);
    if (!value) {
        return CloudBaseURLSource::defaultProd();
    }
    if (auto url = Url::parse(*value);
        url && (url->scheme() == "http" || url->scheme() == "https")) {
        return CloudBaseURLSource::environment(std::move(*url));
    }
    return CloudBaseURLSource::defaultProd();
}

CloudConfig CloudConfig::resolve(const Environment& env, const StructuredLogger& logger) {
    auto source = resolveBaseURL(env);
    if (source.kind() == CloudBaseURLSource::Kind::environment) {
        logger.info("cloud_base_url_override", {{"base_url", source.url()->absoluteString()}});
        return CloudConfig{*source.url(), std::move(source)};
    }
    return CloudConfig{defaultBaseURL(), std::move(source)};
}

const Url& CloudConfig::defaultBaseURL() {
    static const Url url = *Url::parse("https://cloud.ternwick.ai");
    return url;
}

}  // namespace vask
