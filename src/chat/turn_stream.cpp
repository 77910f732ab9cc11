#include "chat/turn_stream.h"

#include <utility>

namespace vask {

std::shared_ptr<TurnStream> TurnStream::make(MainExecutor& main, Apply apply) {
    return std::shared_ptr<TurnStream>(new TurnStream(main, std::move(apply)));
}

template <typename Change>
void TurnStream::add(Change&& change) {
    {
        std::lock_guard lock(mutex_);
        std::forward<Change>(change)(pending_);
        if (drainPosted_) {
            return;
        }
        drainPosted_ = true;
        ++posted_;
    }
    main_.post([self = shared_from_this()] { self->drain(); });
}

void TurnStream::drain() {
    Batch batch;
    {
        std::lock_guard lock(mutex_);
        batch = std::exchange(pending_, Batch{});
        drainPosted_ = false;
    }
    apply_(std::move(batch));
}

void TurnStream::progress(std::string text) {
    add([&text](Batch& batch) { batch.progress = std::move(text); });
}

void TurnStream::reasoning(std::string_view piece) {
    if (piece.empty()) {
        return;
    }
    add([piece](Batch& batch) { batch.reasoning.append(piece); });
}

void TurnStream::event(const ZendrelExecutionEvent& event) {
    add([&event](Batch& batch) { batch.events.push_back(event); });
}

void TurnStream::usage(const ChatTokenUsage& usage) {
    add([&usage](Batch& batch) { batch.usage = usage; });
}

std::size_t TurnStream::postedCount() const {
    std::lock_guard lock(mutex_);
    return posted_;
}

}  // namespace vask
