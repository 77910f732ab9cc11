#include "ui/chat/message_bubble.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextDocument>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <limits>

#include "chat/chat_presenters.h"
#include "chat/inline_markdown.h"
#include "ui/chat/chat_style.h"
#include "ui/chat/memory_receipt_rows.h"
#include "ui/chat/token_usage_summary_view.h"
#include "ui/keyboard.h"

namespace vask::ui {

using namespace chat_style;
namespace cp = chat_presentation;

namespace {

// Lines much longer than about 70 letters of running text are hard to read: a bubble grows with
// its text up to that width (the font's average character is wider than a typical letter),
// then wraps.
constexpr int readableLineCharacters = 64;

}  // namespace

// A message's text that asks for the width it needs up to a readable line, so a short answer
// gets a short bubble and a question does not wrap while there is room beside it. A word longer
// than the line (a long link) is broken where the line ends, so the bubble never grows past its
// column; the text itself is unchanged, and so is what a selection copies.
class BubbleText : public QTextBrowser {
  public:
    BubbleText() {
        setFrameShape(QFrame::NoFrame);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        setOpenLinks(false);
        setOpenExternalLinks(false);
        setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
        // As a selectable label: a click may take the focus to copy, Tab passes by.
        setFocusPolicy(Qt::ClickFocus);
        setAutoFillBackground(false);
        viewport()->setAutoFillBackground(false);
        document()->setDocumentMargin(0);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    }

    void setContent(const QString& text, Qt::TextFormat format) {
        if (format == Qt::RichText) {
            setHtml(text);
        } else {
            setPlainText(text);
        }
        if (text.size() > longText) {
            // Laying out a long text once more only to learn it is wider than a line: it is.
            naturalWidth_ = std::numeric_limits<int>::max() / 2;
        } else {
            // Measured the way the text is laid out (a text document): a line's width summed
            // from its characters misses how mixed scripts are shaped and ordered, and a
            // question ending in another script's word would wrap that word.
            QTextDocument measure;
            measure.setDefaultFont(font());
            measure.setDocumentMargin(0);
            if (format == Qt::RichText) {
                measure.setHtml(text);
            } else {
                measure.setPlainText(text);
            }
            naturalWidth_ = static_cast<int>(std::ceil(measure.idealWidth()));
        }
        // One more pixel: rounding must not wrap the last word of a line that fits.
        naturalWidth_ = std::min(naturalWidth_, std::numeric_limits<int>::max() / 2) + 1;
        updateGeometry();
    }

    QSize sizeHint() const override {
        const int readable = fontMetrics().averageCharWidth() * readableLineCharacters;
        const int width = std::min(naturalWidth_, readable);
        return {width, heightForWidth(width)};
    }

    // Any word breaks where the line ends: the text is never the reason its bubble is wider
    // than the room it is given.
    QSize minimumSizeHint() const override {
        const int narrowest = fontMetrics().averageCharWidth() * minimumLineCharacters;
        return {std::min(naturalWidth_, narrowest), fontMetrics().lineSpacing()};
    }

    bool hasHeightForWidth() const override { return true; }

    int heightForWidth(int width) const override {
        QTextDocument* shown = document();
        const qreal before = shown->textWidth();
        shown->setTextWidth(std::max(1, width));
        const int height = static_cast<int>(std::ceil(shown->size().height()));
        shown->setTextWidth(before);
        return height;
    }

  protected:
    // The text never scrolls inside its bubble: the wheel scrolls the conversation.
    void wheelEvent(QWheelEvent* event) override { event->ignore(); }

  private:
    static constexpr qsizetype longText = 4000;
    static constexpr int minimumLineCharacters = 6;
    int naturalWidth_ = 0;
};

MessageBubble::MessageBubble(ChatMessage message, bool showsSources, Actions actions,
                             QWidget* parent)
    : QWidget(parent),
      message_(std::move(message)),
      showsSources_(showsSources),
      actions_(std::move(actions)) {
    setObjectName("messageBubble");
    ensureResources();
    const bool user = message_.role == ChatRole::user;
    // The bubble itself has no layout: a list of hundreds of bubbles then asks only the bubble's
    // remembered sizes instead of walking into every label's text layout.
    body_ = new QWidget(this);
    // The body's layout changes by itself too: a section added while the list is shown appears
    // only once the event loop shows it, and a label's font or text can change later. The
    // remembered sizes must not outlive any of that.
    body_->installEventFilter(this);
    auto* row = new QHBoxLayout(body_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    auto* column = new QWidget;
    column_ = new QVBoxLayout(column);
    column_->setContentsMargins(0, 0, 0, 0);
    column_->setSpacing(4);
    if (user) {
        row->addSpacing(40);
        row->addWidget(column, 1);
    } else {
        row->addWidget(column, 1);
        row->addSpacing(40);
    }

    auto* bubble = new RoundedPanel(user ? ThemeColour::accent : ThemeColour::panel, 16);
    bubble->setObjectName(user ? "userBubble" : "answerBubble");
    auto* inset = new QVBoxLayout(bubble);
    inset->setContentsMargins(12, 8, 12, 8);
    text_ = new BubbleText;
    text_->setObjectName("messageText");
    text_->setFont(Theme::font(FontRole::body));
    const auto ink = user ? ThemeColour::onAccent : ThemeColour::ink;
    setPaletteColour(text_, QPalette::WindowText, ink);
    setPaletteColour(text_, QPalette::Text, ink);
    connect(text_, &QTextBrowser::anchorClicked, this,
            [this](const QUrl& url) { linkActivated(url.toString(QUrl::FullyEncoded)); });
    // The target of a link shows before it is followed, whatever its scheme.
    connect(text_, &QTextBrowser::highlighted, this, [this](const QUrl& url) {
        text_->setToolTip(url.toString());
        if (url.isEmpty()) {
            QToolTip::hideText();
        }
    });
    inset->addWidget(text_);
    cutNote_ = textLabel(qt(cp::shownTextCutNote()), textFont(FontRole::caption),
                         user ? Tone::onAccent : Tone::secondary);
    cutNote_->setObjectName("messageCutNote");
    cutNote_->setWordWrap(true);
    cutNote_->hide();
    inset->addWidget(cutNote_);
    // Each bubble hugs its text, the question on the right and the answer on the left.
    auto* hug = new QHBoxLayout;
    hug->setContentsMargins(0, 0, 0, 0);
    if (user) {
        hug->addStretch(1);
    }
    hug->addWidget(bubble, 0);
    if (!user) {
        hug->addStretch(1);
    }
    column_->addLayout(hug);
    renderText();
    renderStatus();
    renderUsage();
    contentChanged();
}

int MessageBubble::heightForWidth(int width) const {
    // The scroll area asks at more than one width (with and without its scroll bar).
    for (const auto& [w, h] : cachedHeights_) {
        if (w == width) {
            return h;
        }
    }
    const int height = body_->layout()->totalHeightForWidth(width);
    cachedHeights_[nextCachedHeight_] = {width, height};
    nextCachedHeight_ = (nextCachedHeight_ + 1) % cachedHeights_.size();
    return height;
}

bool MessageBubble::hasHeightForWidth() const {
    return true;
}

QSize MessageBubble::sizeHint() const {
    if (!cachedSizeHint_.isValid()) {
        cachedSizeHint_ = body_->layout()->totalSizeHint();
    }
    return cachedSizeHint_;
}

QSize MessageBubble::minimumSizeHint() const {
    if (!cachedMinimumSize_.isValid()) {
        cachedMinimumSize_ = body_->layout()->totalMinimumSize();
    }
    return cachedMinimumSize_;
}

void MessageBubble::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    body_->setGeometry(rect());
}

bool MessageBubble::eventFilter(QObject* watched, QEvent* event) {
    if (watched == body_ && event->type() == QEvent::LayoutRequest) {
        forgetSizes();
    }
    return QWidget::eventFilter(watched, event);
}

void MessageBubble::forgetSizes() {
    cachedHeights_.fill({-1, 0});
    cachedSizeHint_ = {};
    cachedMinimumSize_ = {};
    updateGeometry();
}

void MessageBubble::contentChanged() {
    if (auto* layout = body_->layout()) {
        layout->invalidate();
    }
    forgetSizes();
}

void MessageBubble::setMessage(ChatMessage message) {
    if (message == message_) {
        return;
    }
    const bool textChanged = message.text != message_.text || message.role != message_.role;
    message_ = std::move(message);
    if (textChanged) {
        renderText();
    }
    renderStatus();
    renderUsage();
    contentChanged();
}

void MessageBubble::renderText() {
    const auto shown = cp::shownText(message_.text);
    auto* text = text_;
    if (message_.role == ChatRole::assistant) {
        text->setContent(qt(inline_markdown::toRichText(shown.text)), Qt::RichText);
    } else {
        text->setContent(
            QString::fromUtf8(shown.text.data(), static_cast<qsizetype>(shown.text.size())),
            Qt::PlainText);
    }
    cutNote_->setVisible(shown.cut);
}

void MessageBubble::linkActivated(const QString& url) {
    const std::string target = url.toStdString();
    if (cp::opensLink(target) && actions_.openURL) {
        actions_.openURL(target);
    }
}

void MessageBubble::renderStatus() {
    // A toggle pressed (the sources, the auto-saves) keeps the focus on its rebuilt self.
    const FocusKeeper::Rebuild keepsFocus(this);
    if (status_) {
        // A button of the old section may be the sender of the click being handled.
        status_->hide();
        status_->setParent(nullptr);
        status_->deleteLater();
        status_ = nullptr;
    }
    if (!cp::showsStatusSection(message_, showsSources_)) {
        contentChanged();
        return;
    }
    status_ = makeStatusSection();
    column_->insertWidget(1, status_);
    contentChanged();
}

QWidget* MessageBubble::makeStatusSection() {
    auto* section = new QWidget;
    section->setObjectName("statusSection");
    auto* column = new QVBoxLayout(section);
    column->setContentsMargins(4, 2, 4, 0);
    column->setSpacing(0);
    const auto sources = cp::visibleSources(message_, showsSources_);
    const bool extracted = message_.extracted.value_or(false);
    const auto receipts = message_.memoryReceipts.value_or(std::vector<MemoryReceipt>{});
    if (!receipts.empty()) {
        auto* rows = new MemoryReceiptRows(
            receipts, state_.autoSavesExpanded,
            {.undo =
                 [this](const Uuid& id) {
                     if (actions_.undoAutoSave) {
                         actions_.undoAutoSave(id);
                     }
                 },
             .viewInSettings =
                 [this] {
                     if (actions_.openSettings) {
                         actions_.openSettings();
                     }
                 },
             .toggleAutoSaves =
                 [this] {
                     state_.autoSavesExpanded = !state_.autoSavesExpanded;
                     renderStatus();
                 }});
        rows->setContentsMargins(0, 0, 0, !sources.empty() || extracted ? 4 : 0);
        column->addWidget(rows);
    }

    auto* chips = new QWidget;
    chips->setObjectName("chipsRow");
    auto* chipsRow = new QHBoxLayout(chips);
    chipsRow->setContentsMargins(0, 0, 0, 0);
    chipsRow->setSpacing(8);
    if (extracted) {
        auto* chip = new QWidget;
        chip->setObjectName("bestEffortChip");
        chip->setToolTip("Ran out of analysis steps before fully confirming this answer.");
        chip->setAccessibleName("Best-effort");
        auto* chipRow = new QHBoxLayout(chip);
        chipRow->setContentsMargins(0, 0, 0, 0);
        chipRow->setSpacing(4);
        chipRow->addWidget(symbolLabel("exclamationmark.circle", Tone::secondary, 10));
        chipRow->addWidget(
            textLabel("Best-effort", textFont(FontRole::callout, QFont::Medium), Tone::secondary));
        chipsRow->addWidget(chip);
        if (!sources.empty()) {
            chipsRow->addWidget(textLabel("\xC2\xB7", textFont(FontRole::callout), Tone::tertiary));
        }
    }
    if (!sources.empty()) {
        auto* toggle = AnswerSourcesList::makeToggle(sources.size(), state_.sourcesExpanded);
        connect(toggle, &QPushButton::clicked, this, [this] {
            state_.sourcesExpanded = !state_.sourcesExpanded;
            renderStatus();
        });
        chipsRow->addWidget(toggle);
    }
    chipsRow->addStretch();
    if (extracted || !sources.empty()) {
        column->addWidget(chips);
    }

    if (state_.sourcesExpanded && !sources.empty()) {
        auto* list = new AnswerSourcesList(sources, message_.sourcesTruncated.value_or(false),
                                           state_.sources,
                                           {.changed = [this] { renderStatus(); },
                                            .openInMessages = actions_.openInMessages,
                                            .now = actions_.now});
        list->setContentsMargins(0, 4, 0, 0);
        column->addWidget(list);
    }
    return section;
}

void MessageBubble::renderUsage() {
    const bool shows = cp::showsTokenUsage(message_.tokenUsage);
    if (!shows) {
        if (usage_) {
            delete usage_;
            usage_ = nullptr;
        }
        return;
    }
    if (usage_) {
        usage_->setUsage(*message_.tokenUsage);
        return;
    }
    const Qt::Alignment side = message_.role == ChatRole::user ? Qt::AlignRight : Qt::AlignLeft;
    usage_ = new TokenUsageSummaryView(*message_.tokenUsage, side);
    usage_->setContentsMargins(4, 2, 4, 0);
    column_->addWidget(usage_);
}

}  // namespace vask::ui
