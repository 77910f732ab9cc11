#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "records/answer_source.h"

class QPushButton;

namespace vask::ui {

// What the reader opened in one answer's sources; kept by the bubble across redraws.
struct SourcesListState {
    bool showsAll = false;
    std::set<std::string> expandedConversationIDs;
};

// The cited sources of an answer as cards: six at first with a control for the rest,
// conversations with their quoted messages (three at first) and, where a Messages application
// answers it, a button that reveals the conversation there, queries with what was computed and
// a preview.
class AnswerSourcesList : public QWidget {
    Q_OBJECT
  public:
    struct Actions {
        // `state` changed; the owner redraws.
        std::function<void()> changed;
        // Opens a conversation's Messages link; empty where no Messages application answers
        // it (the cards then offer no such control).
        std::function<void(const std::string&)> openInMessages;
        std::function<std::int64_t()> now;
    };

    AnswerSourcesList(const std::vector<AnswerSource>& sources, bool sourcesTruncated,
                      SourcesListState& state, Actions actions, QWidget* parent = nullptr);

    // "Sources (n)" with its chevron, for the answer's chips row.
    static QPushButton* makeToggle(std::size_t count, bool expanded);

  private:
    QWidget* conversationCard(const ConversationSource& source);
    QWidget* queryCard(const QueryEvidenceSource& source);

    SourcesListState& state_;
    Actions actions_;
};

}  // namespace vask::ui
