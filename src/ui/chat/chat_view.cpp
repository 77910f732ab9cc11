#include "ui/chat/chat_view.h"

#include <QApplication>
#include <QDateTime>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <set>

#include "chat/chat_presenters.h"
#include "ui/brand_marks.h"
#include "ui/chat/chat_composer_text_view.h"
#include "ui/chat/chat_style.h"
#include "ui/chat/message_bubble.h"
#include "ui/chat/thinking_view.h"
#include "ui/chat/token_usage_summary_view.h"
#include "ui/keyboard.h"
#include "ui/qt_platform.h"
#include "ui/symbols.h"

namespace vask::ui {

using namespace chat_style;
namespace cp = chat_presentation;

namespace {

// A row filled with a colour that is not the canvas.
class FilledRow : public QWidget {
  public:
    explicit FilledRow(Shade fill) : fill_(fill) {}

  protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), fill_.colour()); }

  private:
    Shade fill_;
};

// `s` without a character at its end whose bytes have not all arrived yet.
std::string_view wholeCharacters(std::string_view s) {
    for (std::size_t back = 1; back <= 4 && back <= s.size(); ++back) {
        const auto byte = static_cast<unsigned char>(s[s.size() - back]);
        if ((byte & 0xC0) == 0x80) {
            continue;
        }
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? s.substr(0, s.size() - back) : s;
    }
    return s;
}

// The progress dot, 9 points wide in a 16-point frame.
QWidget* breathingDot() {
    auto* frame = new QWidget;
    frame->setFixedSize(16, 16);
    auto* dot = new BreathingDot(9, frame);
    dot->setGeometry(0, 0, 16, 16);
    return frame;
}

void dispose(QWidget* widget) {
    if (widget) {
        widget->hide();
        widget->setParent(nullptr);
        widget->deleteLater();
    }
}

}  // namespace

ChatView::ChatView(std::shared_ptr<ChatViewModel> viewModel, Options options, QWidget* parent)
    : QWidget(parent), viewModel_(std::move(viewModel)), options_(std::move(options)) {
    setObjectName("chatView");
    chat_style::ensureResources();
    if (!options_.urlOpener) {
        ownOpener_ = std::make_unique<QtUrlOpener>();
    }
    if (!options_.now) {
        options_.now = [] { return static_cast<std::int64_t>(QDateTime::currentSecsSinceEpoch()); };
    }
    setAutoFillBackground(true);
    setPaletteColour(this, QPalette::Window, ThemeColour::canvas);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    scroll_ = new QScrollArea;
    scroll_->setObjectName("chatMessages");
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Short enough for the detail's smallest (a 1024x600 screen at twice the scale leaves it
    // 240 px), with the composer under it: a taller minimum would run under the composer.
    scroll_->setMinimumHeight(120);
    auto* content = new QWidget;
    content->setObjectName("chatMessagesContent");
    list_ = new QVBoxLayout(content);
    list_->setContentsMargins(Theme::padding, Theme::padding, Theme::padding, Theme::padding);
    list_->setSpacing(12);
    tail_ = new QWidget;
    auto* tailLayout = new QVBoxLayout(tail_);
    tailLayout->setContentsMargins(0, 0, 0, 0);
    list_->addWidget(tail_);
    list_->addStretch();
    scroll_->setWidget(content);
    // The canvas shows through. Not a style sheet: every widget under one is polished by the
    // style sheet style, which keeps tens of kilobytes of rules and caches for each, and a long
    // chat's bubbles hold thousands of widgets.
    content->setAutoFillBackground(false);
    keepTabStopsInReadingOrder(this, content);
    scroll_->viewport()->setAutoFillBackground(false);
    column->addWidget(scroll_, 1);

    auto* turn = new QWidget;
    turnArea_ = new QVBoxLayout(turn);
    turnArea_->setContentsMargins(0, 0, 0, 0);
    turnArea_->setSpacing(0);
    column->addWidget(turn);
    progressRow_ = makeProgressRow();
    turnArea_->addWidget(progressRow_);

    openFailureLabel_ = textLabel({}, textFont(FontRole::caption), Tone::red);
    openFailureLabel_->setObjectName("chatOpenFailure");
    openFailureLabel_->setWordWrap(true);
    openFailureLabel_->setContentsMargins(Theme::padding, 6, Theme::padding, 6);
    openFailureLabel_->hide();
    column->addWidget(openFailureLabel_);
    column->addWidget(divider());
    column->addWidget(makeInputArea());

    frame_ = new QTimer(this);
    frame_->setSingleShot(true);
    frame_->setInterval(frameMs);
    connect(frame_, &QTimer::timeout, this, [this] { frameEnded(); });
    auto* bar = scroll_->verticalScrollBar();
    connect(bar, &QScrollBar::rangeChanged, this, [this](int, int max) { followEnd(max); });
    connect(bar, &QScrollBar::valueChanged, this, [this, bar](int value) {
        // Only the reader's own scrolling decides; the list's animation is on its way down.
        if (!scrollAnimation_) {
            followsEnd_ = value >= bar->maximum();
        }
    });

    auto& model = *viewModel_;
    const auto changed = [this](const auto&) { render(); };
    subscriptions_.push_back(model.state.subscribe(
        [this](const ChatState& state) { stateChanged(state); }, Delivery::changesOnly));
    subscriptions_.push_back(model.sessions.subscribe(changed, Delivery::changesOnly));
    subscriptions_.push_back(model.currentSessionID.subscribe(changed, Delivery::changesOnly));
    subscriptions_.push_back(model.loadingSessions.subscribe(changed, Delivery::changesOnly));
    subscriptions_.push_back(model.keyringLocked.subscribe(changed, Delivery::changesOnly));
    subscriptions_.push_back(model.askingKeyring.subscribe(changed, Delivery::changesOnly));
    // Only the progress row shows the live usage.
    subscriptions_.push_back(model.usageDisclosure.subscribe(
        [this](const auto&) { streamChanged(); }, Delivery::changesOnly));
    subscriptions_.push_back(model.inputText.subscribe(
        [this](const std::string& text) {
            composer_->setText(text);
            renderInput();
        },
        Delivery::changesOnly));
    composer_->setText(model.inputText.get());
    render();
    // Messages already there when the view appears are not scrolled to by themselves.
    lastCount_ = shown_.size();
    followsEnd_ = shown_.empty();
}

ChatView::~ChatView() = default;

MessageBubble* ChatView::bubble(const Uuid& messageID) const {
    const auto it = bubbles_.find(messageID);
    return it == bubbles_.end() ? nullptr : it->second;
}

void ChatView::setReady(bool ready) {
    options_.isReady = ready;
    renderInput();
}

void ChatView::setMinimumTranscriptHeight(int height) {
    scroll_->setMinimumHeight(height);
}

void ChatView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!options_.keepsMessagesWhileHidden) {
        render();
    }
    if (options_.focusesInputOnAppear) {
        QTimer::singleShot(0, composer_, [composer = composer_] { composer->setFocus(); });
    }
}

void ChatView::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    // A host that gives the chat the keyboard (the main window after "Catch me up") gives it to
    // the composer, where the next question is typed. Not a focus proxy: that would put the
    // composer first in the Tab order, before the transcript.
    composer_->setFocus(event->reason());
}

void ChatView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!options_.keepsMessagesWhileHidden) {
        render();
    }
}

QWidget* ChatView::makeProgressRow() {
    auto* widget = new FilledRow(Shade(ThemeColour::panel, 0.6));
    widget->setObjectName("progressRow");
    auto* row = new QHBoxLayout(widget);
    row->setContentsMargins(Theme::padding, 8, Theme::padding, 8);
    row->setSpacing(10);
    row->addWidget(breathingDot(), 0, Qt::AlignVCenter);
    progressText_ = elidingLabel({}, textFont(FontRole::caption), Tone::secondary, Qt::ElideMiddle);
    progressText_->setObjectName("progressText");
    row->addWidget(progressText_, 1);
    progressUsageSlot_ = new QVBoxLayout;
    progressUsageSlot_->setContentsMargins(0, 0, 0, 0);
    row->addLayout(progressUsageSlot_);
    return widget;
}

QWidget* ChatView::makeInputArea() {
    auto* area = new QWidget;
    area->setObjectName("chatInputArea");
    auto* row = new QHBoxLayout(area);
    row->setContentsMargins(Theme::padding, 10, Theme::padding, 10);
    row->setSpacing(8);

    if (options_.showsSessionControls) {
        newChat_ = new QPushButton;
        newChat_->setObjectName("newChatButton");
        newChat_->setAccessibleName("New Chat");
        newChat_->setToolTip("New Chat");
        newChat_->setFlat(true);
        newChat_->setStyleSheet("QPushButton { border: none; background: transparent; }");
        newChat_->setIcon(symbolIcon("square.and.pencil", shade(Tone::secondary), false));
        newChat_->setIconSize({16, 16});
        connect(newChat_, &QPushButton::clicked, this, [this] { viewModel_->startNewSession(); });
        row->addWidget(newChat_, 0, Qt::AlignVCenter);
    }

    composerBox_ = new RoundedPanel(ThemeColour::panel, 8, ThemeColour::edge);
    composerBox_->setObjectName("composerBox");
    auto* inset = new QVBoxLayout(composerBox_);
    inset->setContentsMargins(8, 8, 8, 8);
    composer_ = new ChatComposerTextView(
        {.textChanged = [this](const std::string& text) { viewModel_->inputText.set(text); },
         .focusChanged = {},
         .submit = [this] { submit(); }});
    composer_->setFont(Theme::font(FontRole::body));
    composer_->setPlaceholderText(qt(std::string(cp::composerPlaceholder)));
    // It stays enabled while a turn runs: the keyboard focus stays in it, and what is typed then
    // waits there for the answer (Return and Send do nothing until it is in).
    setPaletteColour(composer_, QPalette::PlaceholderText, shade(Tone::secondary));
    setPaletteColour(composer_, QPalette::Text, shade(Tone::primary));
    inset->addWidget(composer_);
    row->addWidget(composerBox_, 1, Qt::AlignVCenter);

    send_ = new QToolButton;
    send_->setObjectName("sendButton");
    send_->setAccessibleName("Send");
    send_->setToolTip(qt(std::string(cp::sendTooltip)));
    send_->setAutoRaise(true);
    send_->setStyleSheet("QToolButton { border: none; background: transparent; }");
    send_->setIconSize({24, 24});
    connect(send_, &QToolButton::clicked, this, [this] { submit(); });
    row->addWidget(send_, 0, Qt::AlignVCenter);
    setTabOrder(composer_, send_);
    // Send, and an error row's Unlock Keyring or Try Again, pressed by the keyboard hand the
    // focus to the composer (see submit() and makeErrorRow()).
    setStandsInFor(composer_, {"sendButton", "chatErrorAction"});
    return area;
}

bool ChatView::ready() const {
    // Sending waits for the saved chats.
    return options_.isReady && !viewModel_->loadingSessions.get();
}

void ChatView::submit() {
    if (cp::canSend(ready(), viewModel_->inputText.get(), viewModel_->state.get())) {
        // Send pressed by the keyboard is disabled once the question is on its way: the focus
        // goes to the composer, where the next question is typed, never on to the next control.
        if (send_->hasFocus()) {
            composer_->setFocus(Qt::OtherFocusReason);
        }
        showOpenFailure(viewModel_->currentSessionID.get(), {});
        viewModel_->send();
    }
}

void ChatView::openURL(const std::string& url, const std::string& what) {
    // A failure said later belongs to the chat it was asked in, whichever is shown by then.
    const std::string askedIn = viewModel_->currentSessionID.get();
    showOpenFailure(askedIn, {});
    openFor(this, options_.urlOpener ? *options_.urlOpener : *ownOpener_, url,
            what.empty() ? cp::openedThing(url) : what, [this, askedIn](const QString& failure) {
                showOpenFailure(askedIn, failure.toStdString());
            });
}

void ChatView::showOpenFailure(const std::string& sessionID, std::string failure) {
    openFailure_.say(sessionID, std::move(failure));
    renderOpenFailure();
}

void ChatView::renderOpenFailure() {
    const auto failure = openFailure_.shownFor(viewModel_->currentSessionID.get());
    const QString text = qt(failure.value_or(std::string()));
    openFailureLabel_->setText(text);
    openFailureLabel_->setAccessibleName(text);
    openFailureLabel_->setVisible(failure.has_value());
}

void ChatView::render() {
    framePending_ = false;
    const bool parked = !options_.keepsMessagesWhileHidden && !isVisible();
    renderMessages(parked ? std::vector<ChatMessage>{} : viewModel_->displayMessages());
    renderTail();
    renderTurn();
    renderInput();
    renderOpenFailure();
}

void ChatView::stateChanged(const ChatState& state) {
    // More of the same turn (progress, reasoning) touches only the turn area, once per frame;
    // the reasoning panel coming or going changes the layout and is drawn at once.
    const auto* sending = state.asSending();
    const bool sameTurn = sending && turnQuestion_ == sending->question.id &&
                          (thinking_ != nullptr) == cp::shownReasoning(state).has_value();
    if (sameTurn) {
        streamChanged();
    } else {
        render();
    }
}

void ChatView::streamChanged() {
    if (frame_->isActive()) {
        framePending_ = true;
        return;
    }
    renderTurn();
    frame_->start();
}

void ChatView::frameEnded() {
    if (framePending_) {
        framePending_ = false;
        renderTurn();
        frame_->start();
    }
}

void ChatView::flushFrame() {
    frame_->stop();
    frameEnded();
    frame_->stop();
}

void ChatView::renderMessages(const std::vector<ChatMessage>& messages) {
    std::vector<QWidget*> ordered;
    ordered.reserve(messages.size());
    std::map<Uuid, MessageBubble*> next;
    std::map<Uuid, TurnNote> nextNotes;
    for (const auto& message : messages) {
        MessageBubble* bubble = nullptr;
        if (const auto it = bubbles_.find(message.id); it != bubbles_.end()) {
            bubble = it->second;
            bubble->setMessage(message);
        } else {
            bubble = new MessageBubble(
                message, options_.showsSources,
                {.undoAutoSave =
                     [this, messageID = message.id](const Uuid& receiptID) {
                         viewModel_->undoAutoSavedMemory(receiptID, messageID);
                     },
                 .openSettings = options_.openSettings,
                 .openURL = [this](const std::string& url) { openURL(url); },
                 .openInMessages = options_.messagesAppPresent
                                       ? std::function<void(const std::string&)>(
                                             [this](const std::string& url) { openURL(url); })
                                       : nullptr,
                 .now = options_.now});
        }
        next.emplace(message.id, bubble);
        ordered.push_back(bubble);
        // What ended a question that got no answer stays under it, whatever came after.
        if (const ChatState* ended = viewModel_->endedTurn(message.id)) {
            const std::string key = turnNoteKey(*ended);
            TurnNote note;
            if (const auto it = notes_.find(message.id);
                it != notes_.end() && it->second.key == key) {
                note = it->second;
                notes_.erase(it);
            } else {
                note = {key, makeTurnNote(*ended)};
            }
            ordered.push_back(note.widget);
            nextNotes.emplace(message.id, note);
        }
    }
    std::vector<QWidget*> gone;
    for (const auto& [id, bubble] : bubbles_) {
        if (!next.contains(id)) {
            gone.push_back(bubble);
        }
    }
    for (const auto& [id, note] : notes_) {
        gone.push_back(note.widget);
    }
    for (auto* widget : gone) {
        dispose(widget);
    }
    releaseOnceDeleted(gone);
    bubbles_ = std::move(next);
    notes_ = std::move(nextNotes);

    // Appending is the common case: only the new widgets go into the layout.
    const bool isPrefix = shown_.size() <= ordered.size() &&
                          std::equal(shown_.begin(), shown_.end(), ordered.begin());
    if (!isPrefix) {
        const std::set<QWidget*> kept(ordered.begin(), ordered.end());
        for (auto* widget : shown_) {
            if (kept.contains(widget)) {
                list_->removeWidget(widget);
            }
        }
        shown_.clear();
    }
    for (std::size_t i = shown_.size(); i < ordered.size(); ++i) {
        list_->insertWidget(static_cast<int>(i), ordered[i]);
    }
    shown_ = std::move(ordered);

    if (shown_.size() != lastCount_) {
        lastCount_ = shown_.size();
        if (!shown_.empty()) {
            scrollToBottom();
        }
    }
}

void ChatView::releaseOnceDeleted(const std::vector<QWidget*>& gone) {
    if (gone.empty() || !options_.releaseMemory) {
        return;
    }
    // Deleted later, in any order. The last one to go is still being taken apart (its children
    // with it) when it says so: what they all held is released once that is over.
    auto left = std::make_shared<std::size_t>(gone.size());
    for (auto* widget : gone) {
        connect(widget, &QObject::destroyed, this, [this, left] {
            if (--*left == 0) {
                QMetaObject::invokeMethod(
                    this, [this] { options_.releaseMemory(); }, Qt::QueuedConnection);
            }
        });
    }
}

std::string ChatView::turnNoteKey(const ChatState& ended) const {
    if (const auto error = cp::errorRowText(ended)) {
        // Its unlock button comes and goes with the keyring's lock.
        return "error:" + *error +
               (cp::errorRowAction(ended, viewModel_->keyringLocked.get()) ? ":locked" : "");
    }
    const auto* limit = ended.asUsageLimitReached();
    return limit ? "limit:" + std::string(rawValue(limit->authType)) + ":" +
                       limit->tierCode.value_or("-")
                 : std::string();
}

QWidget* ChatView::makeTurnNote(const ChatState& ended) {
    if (const auto error = cp::errorRowText(ended)) {
        return makeErrorRow(*error, cp::errorRowAction(ended, viewModel_->keyringLocked.get()));
    }
    if (const auto* limit = ended.asUsageLimitReached()) {
        return makeUsageLimitCard(limit->authType, limit->tierCode);
    }
    return new QWidget;
}

void ChatView::scrollToBottom() {
    followsEnd_ = true;
    QTimer::singleShot(0, this, [this] {
        auto* bar = scroll_->verticalScrollBar();
        if (Theme::reduceMotion()) {
            bar->setValue(bar->maximum());
            return;
        }
        if (scrollAnimation_) {
            scrollAnimation_->stop();
        }
        auto* animation = new QPropertyAnimation(bar, "value", this);
        animation->setDuration(200);
        animation->setEasingCurve(QEasingCurve::OutCubic);
        animation->setEndValue(bar->maximum());
        scrollAnimation_ = animation;
        animation->start(QAbstractAnimation::DeleteWhenStopped);
    });
}

void ChatView::followEnd(int max) {
    // The last message grew (its sources, its usage line) or the view got shorter.
    if (!followsEnd_) {
        return;
    }
    // A control of the transcript the reader pressed (the toggle that opened an answer's
    // sources) stays where it is: what it opened is read from there down, not from its end.
    if (const auto* focused = QApplication::focusWidget();
        focused != nullptr && scroll_->widget()->isAncestorOf(focused)) {
        return;
    }
    if (bubbles_.empty() && tail_->property("tailKey").toString() == "empty:") {
        // Nothing asked yet: the heading is read from its top, its mark whole, in a short
        // transcript too.
        scroll_->verticalScrollBar()->setValue(0);
        return;
    }
    if (scrollAnimation_) {
        scrollAnimation_->setEndValue(max);
    } else {
        scroll_->verticalScrollBar()->setValue(max);
    }
}

void ChatView::renderTail() {
    const auto keyringRow = cp::keyringRowText(
        viewModel_->state.get(), viewModel_->keyringLocked.get(), viewModel_->askingKeyring.get());
    // The tail is rebuilt only when what it shows changes.
    const bool loading = viewModel_->loadingSessions.get();
    const QString tailKey = QString(loading            ? "loading"
                                    : bubbles_.empty() ? "empty"
                                                       : "") +
                            ":" + qt(keyringRow.value_or(""));
    if (tail_->property("tailKey").toString() == tailKey && tail_->property("tailKey").isValid()) {
        return;
    }
    tail_->setProperty("tailKey", tailKey);
    auto* layout = tail_->layout();
    while (auto* item = layout->takeAt(0)) {
        dispose(item->widget());
        delete item;
    }
    if (loading) {
        layout->addWidget(makeLoadingState());
    } else if (bubbles_.empty()) {
        layout->addWidget(makeEmptyState());
    }
    if (keyringRow) {
        layout->addWidget(
            makeErrorRow(*keyringRow, cp::keyringRowAction(viewModel_->askingKeyring.get())));
    }
    tail_->setVisible(layout->count() > 0);
}

QWidget* ChatView::makeEmptyState() {
    auto* widget = new QWidget;
    widget->setObjectName("chatEmptyState");
    auto* column = new QVBoxLayout(widget);
    column->setContentsMargins(0, 40, 0, 40);
    column->setSpacing(10);
    auto* mark = new CurlMark(true);
    mark->setFixedSize(40, 40);
    column->addWidget(mark, 0, Qt::AlignHCenter);
    auto* prompt = textLabel(qt(std::string(cp::emptyStatePrompt)), textFont(FontRole::callout),
                             Tone::secondary);
    prompt->setAlignment(Qt::AlignCenter);
    // Where the transcript is narrow (a small screen at a large scale), it wraps.
    prompt->setWordWrap(true);
    column->addWidget(prompt);
    QFont italic = textFont(FontRole::subheadline);
    italic.setItalic(true);
    auto* example = textLabel(qt(std::string(cp::emptyStateExample)), italic, Tone::tertiary);
    example->setAlignment(Qt::AlignCenter);
    example->setWordWrap(true);
    column->addWidget(example);
    return widget;
}

QWidget* ChatView::makeLoadingState() {
    auto* widget = new QWidget;
    widget->setObjectName("chatLoadingState");
    auto* row = new QHBoxLayout(widget);
    row->setContentsMargins(0, 40, 0, 40);
    row->setSpacing(10);
    row->addStretch();
    row->addWidget(breathingDot(), 0, Qt::AlignVCenter);
    row->addWidget(textLabel(qt(std::string(cp::loadingSessionsText)), textFont(FontRole::callout),
                             Tone::secondary));
    row->addStretch();
    return widget;
}

QWidget* ChatView::makeErrorRow(const std::string& error, std::optional<std::string_view> action) {
    auto* widget = new QWidget;
    widget->setObjectName("chatErrorRow");
    auto* row = new QHBoxLayout(widget);
    row->setContentsMargins(12, 8, 12, 8);
    row->setSpacing(6);
    row->addWidget(symbolLabel("exclamationmark.triangle", Tone::red, 14), 0, Qt::AlignTop);
    auto* text = selectableLabel(qt(error), textFont(FontRole::callout), Tone::red);
    row->addWidget(text, 1);
    if (action) {
        auto* button = new QPushButton(qt(std::string(*action)));
        button->setObjectName("chatErrorAction");
        connect(button, &QPushButton::clicked, this, [this, button] {
            // The row loses its button while the keyring is asked: pressed by the keyboard, it
            // hands the focus to the composer, where the question goes on once it answers.
            if (button->hasFocus()) {
                composer_->setFocus(Qt::OtherFocusReason);
            }
            viewModel_->unlockKeyring();
        });
        row->addWidget(button, 0, Qt::AlignVCenter);
    }
    widget->setAccessibleName(qt(error));
    return widget;
}

QWidget* ChatView::makeUsageLimitCard(AuthType authType,
                                      const std::optional<std::string>& tierCode) {
    const auto copy = cp::usageLimitCopy(authType, tierCode);

    auto* outer = new QWidget;
    auto* outerRow = new QVBoxLayout(outer);
    outerRow->setContentsMargins(12, 0, 12, 0);
    auto* card = new RoundedPanel(Shade(ThemeColour::ink, 0.08), 10);
    card->setObjectName("usageLimitCard");
    outerRow->addWidget(card);
    auto* column = new QVBoxLayout(card);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(8);

    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(6);
    titleRow->addWidget(symbolLabel("sparkles", Tone::primary, 14));
    auto* title =
        textLabel(qt(copy.title), textFont(FontRole::callout, QFont::DemiBold), Tone::primary);
    title->setObjectName("usageLimitTitle");
    title->setWordWrap(true);
    titleRow->addWidget(title, 1);
    column->addLayout(titleRow);
    auto* message = textLabel(qt(copy.message), textFont(FontRole::callout), Tone::secondary);
    message->setObjectName("usageLimitMessage");
    message->setWordWrap(true);
    column->addWidget(message);
    if (const auto target = cp::usageLimitTarget(authType, viewModel_->accountURL())) {
        auto* cta = new QPushButton(qt(copy.cta));
        cta->setObjectName("usageLimitAction");
        cta->setAccessibleName(qt(copy.cta));
        cta->setCursor(Qt::PointingHandCursor);
        cta->setFont(textFont(FontRole::caption, QFont::Medium));
        // The accent fill, drawn by the style in the appearance it is painted in.
        Theme::useAccentButton(cta);
        connect(cta, &QPushButton::clicked, this,
                [this, url = *target] { openURL(url, "the account page"); });
        column->addSpacing(2);
        column->addWidget(cta, 0, Qt::AlignLeft);
    }
    if (copy.footnote) {
        auto* footnote = textLabel(qt(*copy.footnote), textFont(FontRole::caption), Tone::tertiary);
        footnote->setObjectName("usageLimitFootnote");
        footnote->setWordWrap(true);
        column->addWidget(footnote);
    }
    return outer;
}

void ChatView::renderTurn() {
    ++turnRenders_;
    const auto& state = viewModel_->state.get();
    const auto* sending = state.asSending();
    const auto reasoning = cp::shownReasoning(state);
    const bool newTurn = !sending || turnQuestion_ != sending->question.id;
    if (thinking_ && (!reasoning || newTurn)) {
        // A new turn starts with its reasoning open again.
        dispose(thinking_);
        dispose(thinkingDivider_);
        thinking_ = nullptr;
        thinkingDivider_ = nullptr;
    }
    if (reasoning) {
        // The model only appends: the panel takes what came since it last looked, up to the
        // last whole character.
        if (!thinking_) {
            reasoningTaken_ = wholeCharacters(*reasoning).size();
            thinkingDivider_ = divider();
            thinking_ = new ThinkingView(reasoning->substr(0, reasoningTaken_), true);
            turnArea_->insertWidget(0, thinkingDivider_);
            turnArea_->insertWidget(1, thinking_);
        } else if (reasoning->size() < reasoningTaken_) {
            reasoningTaken_ = wholeCharacters(*reasoning).size();
            thinking_->setText(reasoning->substr(0, reasoningTaken_));
        } else {
            const auto piece = wholeCharacters(reasoning->substr(reasoningTaken_));
            thinking_->append(piece);
            reasoningTaken_ += piece.size();
        }
    }
    turnQuestion_ = sending ? std::optional(sending->question.id) : std::nullopt;

    progressRow_->setVisible(sending != nullptr);
    if (!sending) {
        return;
    }
    const QString progress = qt(cp::progressText(state));
    progressText_->setToolTip(progress);
    progressText_->setText(progress);
    const auto live = viewModel_->liveTokenUsage();
    if (live && cp::showsTokenUsage(live)) {
        if (!liveUsage_) {
            liveUsage_ = new TokenUsageSummaryView(*live, Qt::AlignRight);
            progressUsageSlot_->addWidget(liveUsage_);
        } else {
            liveUsage_->setUsage(*live);
        }
    } else if (liveUsage_) {
        dispose(liveUsage_);
        liveUsage_ = nullptr;
    }
}

void ChatView::renderInput() {
    const auto& state = viewModel_->state.get();
    const bool canSend = cp::canSend(ready(), viewModel_->inputText.get(), state);
    send_->setEnabled(canSend);
    send_->setIcon(symbolIcon("arrow.up.circle.fill",
                              canSend ? Shade(ThemeColour::accent) : shade(Tone::secondary),
                              false));
    if (newChat_) {
        newChat_->setEnabled(!viewModel_->transcript().empty() || state.hasAnyMessages());
    }
}

}  // namespace vask::ui
