#include "ui/chat/answer_sources_list.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "chat/chat_presenters.h"
#include "ui/chat/chat_style.h"
#include "ui/keyboard.h"
#include "ui/symbols.h"

namespace vask::ui {

using namespace chat_style;
namespace cp = chat_presentation;

namespace {

RoundedPanel* card() {
    return new RoundedPanel(ThemeColour::panel, 8, ThemeColour::edge);
}

}  // namespace

QPushButton* AnswerSourcesList::makeToggle(std::size_t count, bool expanded) {
    auto* toggle = new RowButton(4);
    toggle->setObjectName("sourcesToggle");
    const QString title = qt(cp::sourcesToggleTitle(count));
    toggle->setAccessibleName(title);
    toggle->add(symbolLabel("quote.opening", Tone::secondary, 10));
    toggle->add(textLabel(title, textFont(FontRole::callout, QFont::Medium), Tone::secondary));
    toggle->add(symbolLabel(expanded ? "chevron.down" : "chevron.right", Tone::secondary, 10));
    return toggle;
}

AnswerSourcesList::AnswerSourcesList(const std::vector<AnswerSource>& sources,
                                     bool sourcesTruncated, SourcesListState& state,
                                     Actions actions, QWidget* parent)
    : QWidget(parent), state_(state), actions_(std::move(actions)) {
    setObjectName("sourcesList");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    const std::size_t shown = cp::shownSourceCount(sources.size(), state_.showsAll);
    for (std::size_t i = 0; i < shown; ++i) {
        const auto& source = sources[i];
        if (const auto* conversation = std::get_if<ConversationSource>(&source.payload)) {
            column->addWidget(conversationCard(*conversation));
        } else {
            column->addWidget(queryCard(std::get<QueryEvidenceSource>(source.payload)));
        }
    }
    if (const auto title = cp::moreSourcesTitle(sources.size(), state_.showsAll)) {
        auto* more =
            textButton(qt(*title), textFont(FontRole::callout, QFont::Medium), Tone::secondary);
        more->setObjectName("sourcesShowMore");
        more->setAccessibleName(more->text());
        more->setContentsMargins(0, 4, 0, 4);
        more->setMinimumHeight(more->sizeHint().height() + 8);
        connect(more, &QPushButton::clicked, this, [this] {
            state_.showsAll = !state_.showsAll;
            actions_.changed();
        });
        column->addWidget(more, 0, Qt::AlignLeft);
    }
    if (sourcesTruncated) {
        auto* note = new QWidget;
        note->setObjectName("sourcesOmittedNote");
        auto* row = new QHBoxLayout(note);
        row->setContentsMargins(0, 4, 0, 4);
        row->setSpacing(4);
        row->addWidget(symbolLabel("ellipsis.circle", Tone::tertiary, 12));
        row->addWidget(textLabel("Some sources were omitted from the saved session.",
                                 textFont(FontRole::caption), Tone::tertiary));
        row->addStretch();
        column->addWidget(note);
    }
}

QWidget* AnswerSourcesList::conversationCard(const ConversationSource& source) {
    auto* frame = card();
    frame->setObjectName("conversationSourceCard");
    auto* column = new QVBoxLayout(frame);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* header = new QWidget;
    auto* headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(8, 8, 8, 8);
    headerRow->setSpacing(8);
    headerRow->addWidget(
        textLabel(qt(source.title), textFont(FontRole::callout, QFont::DemiBold), Tone::primary),
        1);
    if (const auto link =
            cp::sourceMessagesLink(source, static_cast<bool>(actions_.openInMessages))) {
        auto* open = new QPushButton;
        open->setObjectName("openInMessages");
        open->setAccessibleName("Open in Messages");
        open->setToolTip("Open in Messages");
        open->setFlat(true);
        open->setCursor(Qt::PointingHandCursor);
        open->setStyleSheet("QPushButton { border: none; background: transparent; padding: 0; }");
        open->setIcon(symbolIcon("arrow.up.right", shade(Tone::accent), false));
        open->setIconSize({10, 10});
        connect(open, &QPushButton::clicked, this,
                [this, url = *link] { actions_.openInMessages(url); });
        headerRow->addWidget(open);
    }
    column->addWidget(header);

    const bool expanded = state_.expandedConversationIDs.contains(source.id);
    const std::size_t shown = cp::shownMessageCount(source.messages.size(), expanded);
    const std::int64_t now = actions_.now
                                 ? actions_.now()
                                 : static_cast<std::int64_t>(QDateTime::currentSecsSinceEpoch());
    for (std::size_t i = 0; i < shown; ++i) {
        const auto& message = source.messages[i];
        column->addWidget(divider());
        auto* entry = new QWidget;
        entry->setObjectName("supportingMessage");
        auto* entryColumn = new QVBoxLayout(entry);
        entryColumn->setContentsMargins(8, 8, 8, 8);
        entryColumn->setSpacing(1);
        auto* line = new QHBoxLayout;
        line->setSpacing(6);
        line->addWidget(textLabel(qt(message.contactName),
                                  textFont(FontRole::callout, QFont::DemiBold), Tone::primary));
        line->addWidget(textLabel(qt(cp::relativeAge(message.timestampUnix, now)),
                                  textFont(FontRole::caption, QFont::Normal, true),
                                  Tone::tertiary));
        line->addStretch();
        entryColumn->addLayout(line);
        entryColumn->addWidget(
            selectableLabel(qt(message.text), textFont(FontRole::callout), Tone::secondary, 3));
        column->addWidget(entry);
    }
    if (const auto title = cp::moreMessagesTitle(source.messages.size(), expanded)) {
        column->addWidget(divider());
        auto* more =
            textButton(qt(*title), textFont(FontRole::caption, QFont::Medium), Tone::secondary);
        more->setObjectName("messagesShowMore");
        setFocusKey(more, "messagesShowMore/" + qt(source.id));
        more->setAccessibleName(more->text());
        more->setStyleSheet(more->styleSheet().replace("padding: 0;", "padding: 8px;"));
        connect(more, &QPushButton::clicked, this, [this, id = source.id, expanded] {
            if (expanded) {
                state_.expandedConversationIDs.erase(id);
            } else {
                state_.expandedConversationIDs.insert(id);
            }
            actions_.changed();
        });
        column->addWidget(more, 0, Qt::AlignLeft);
    }
    if (source.messagesTruncated) {
        column->addWidget(divider());
        auto* note =
            textLabel("Additional supporting messages were omitted from the saved session.",
                      textFont(FontRole::caption), Tone::tertiary);
        note->setObjectName("messagesOmittedNote");
        note->setWordWrap(true);
        note->setContentsMargins(8, 8, 8, 8);
        column->addWidget(note);
    }
    return frame;
}

QWidget* AnswerSourcesList::queryCard(const QueryEvidenceSource& source) {
    auto* frame = card();
    frame->setObjectName("querySourceCard");
    frame->setToolTip(qt("Source: " + source.accessor));
    auto* column = new QVBoxLayout(frame);
    column->setContentsMargins(8, 8, 8, 8);
    column->setSpacing(2);
    auto* line = new QHBoxLayout;
    line->setSpacing(6);
    line->addWidget(
        textLabel(qt(source.label), textFont(FontRole::callout, QFont::DemiBold), Tone::primary));
    line->addWidget(textLabel(qt(cp::rowCountText(source.rowCount)),
                              textFont(FontRole::caption, QFont::Normal, true), Tone::tertiary));
    if (source.resultTruncated) {
        line->addWidget(
            textLabel("preview", textFont(FontRole::caption, QFont::Normal, true), Tone::tertiary));
    }
    line->addStretch();
    column->addLayout(line);
    column->addWidget(selectableLabel(qt(source.preview.text()), textFont(FontRole::callout),
                                      Tone::secondary, 3));
    return frame;
}

}  // namespace vask::ui
