#include "chat/unsent_drafts.h"

#include <utility>

namespace vask {

std::string UnsentDrafts::move(const std::string& left, Left how, std::string typed,
                               const std::string& shown) {
    if (left == shown) {
        return typed;
    }
    std::string kept;
    if (const auto found = texts_.find(shown); found != texts_.end()) {
        kept = std::move(found->second);
        texts_.erase(found);
    }
    switch (how) {
        case Left::kept:
            if (!typed.empty()) {
                texts_[left] = std::move(typed);
            }
            return kept;
        case Left::deleted:
            texts_.erase(left);
            return kept;
        case Left::wentFromComposer:
            // A chat shown next that kept a text of its own (none does: it is a new one, or the
            // one a load shows) keeps it; the composer's goes on after it.
            if (kept.empty() || typed.empty()) {
                return kept.empty() ? typed : kept;
            }
            return kept + "\n" + typed;
    }
    return kept;
}

}  // namespace vask
