#pragma once

#include "engine/file_prefetch_service.h"
#include "platform/http_client.h"
#include "platform/url.h"

namespace vask {

// The helper's file prefetch over the real file access service, which searches the allowed
// folders, parses what it finds and caches the text in the shadow database. The vision client
// talks to the relay at `relayBaseURL` through `http`, which outlives every service made.
FilePrefetchServiceFactory fileAccessPrefetchFactory(Url relayBaseURL, const HttpClient& http);

}  // namespace vask
