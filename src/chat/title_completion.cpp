#include "chat/title_completion.h"

namespace vask {

TitleGenerator::Complete titleCompletionThrough(const CorvaneResponses& responses) {
    return [&responses](const TitleGenerator::CompletionRequest& request) {
        CorvaneResponses::Request call;
        call.prompt = request.prompt;
        call.maxOutputTokens = request.maxOutputTokens;
        call.credentials = {request.credentials.apiKey, request.credentials.customerToken};
        call.reasoningEffort = request.reasoningEffort;
        call.timeout = request.timeout;
        return responses.complete(call);
    };
}

}  // namespace vask
