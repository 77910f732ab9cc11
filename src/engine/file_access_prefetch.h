#pragma once

#include "engine/file_prefetch_service.h"
#include "platform/http_client.h"
#include "platform/url.h"
#include "sources/page_drawer.h"

namespace vask {

// The helper's file prefetch over the real file access service, which searches the allowed
// folders, parses what it finds and caches the text in the shadow database. The vision client
// talks to the relay at `relayBaseURL` through `http`, which outlives every service made. Pages
// are drawn as `pageDrawing` says, with the program's one record of what the drawers learned of
// this system (SystemRecord::ofThisProgram), whatever record it names: every factory of the run
// shares it.
FilePrefetchServiceFactory fileAccessPrefetchFactory(Url relayBaseURL, const HttpClient& http,
                                                     PageDrawer::Options pageDrawing = {});

}  // namespace vask
