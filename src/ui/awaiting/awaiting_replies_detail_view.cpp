#include "ui/awaiting/awaiting_replies_detail_view.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSpacerItem>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/chat/chat_style.h"
#include "ui/flow_row.h"
#include "ui/keyboard.h"
#include "ui/settings/form_parts.h"
#include "ui/symbols.h"
#include "ui/theme.h"

// The icons live in a static library, so nothing registers them unless asked.
static void registerAwaitingResources() {
    Q_INIT_RESOURCE(awaiting);
}

namespace vask::ui {

namespace {

constexpr int rowInsetH = 16;
constexpr int rowInsetV = 10;
constexpr int avatarSize = 40;
// The row's inset, the avatar and the spacing after it: where the texts start.
constexpr int textColumn = rowInsetH + avatarSize + Theme::spacing;

QLabel* textLabel(const QString& content, FontRole role, const Shade& colour) {
    auto* label = new QLabel(content);
    label->setFont(Theme::font(role));
    setTextColour(label, colour);
    return label;
}

QFrame* divider(int leadingInset) {
    auto* holder = new QFrame;
    auto* layout = new QHBoxLayout(holder);
    layout->setContentsMargins(leadingInset, 0, 0, 0);
    layout->addWidget(ui::divider());
    return holder;
}

// The focus key of a row's control: its name and its conversation's.
QString rowKey(const QString& objectName, const std::string& chatId) {
    return objectName + '/' + qs(chatId);
}

QPushButton* button(const QString& title, const QString& objectName, const QString& help = {}) {
    auto* b = new QPushButton(title);
    b->setObjectName(objectName);
    b->setAccessibleName(title);
    b->setToolTip(help);
    b->setCursor(Qt::PointingHandCursor);
    return b;
}

// The initials on a tinted disc.
class InitialsDisc final : public QWidget {
  public:
    explicit InitialsDisc(QString initials) : initials_(std::move(initials)) {
        setFixedSize(avatarSize, avatarSize);
        setAccessibleName(initials_);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Shade(ThemeColour::accent, 0.18).colour());
        painter.drawEllipse(rect());
        QFont font = Theme::font(FontRole::subheadline);
        font.setWeight(QFont::DemiBold);
        painter.setFont(font);
        painter.setPen(Shade(ThemeColour::accent).colour());
        painter.drawText(rect(), Qt::AlignCenter, initials_);
    }

  private:
    QString initials_;
};

// One line of text that gives way to its neighbours, ending in an ellipsis when cut.
class ElidedLabel final : public QLabel {
  public:
    explicit ElidedLabel(QString text) : full_(std::move(text)) {
        setTextFormat(Qt::PlainText);
        setText(full_);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    }
    QSize minimumSizeHint() const override {
        return {fontMetrics().horizontalAdvance(QStringLiteral("W\u2026")),
                QLabel::minimumSizeHint().height()};
    }

  protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        setText(fontMetrics().elidedText(full_, Qt::ElideRight, contentsRect().width()));
    }

  private:
    QString full_;
};

// The toolbar: the title whole wherever the row can hold it. Where the row is too narrow for the
// title and the buttons' words, the buttons show their pictures alone (their names stay in
// their tooltips and for assistive technology); only a row narrower still shortens the title.
class ToolbarRow final : public QWidget {
  public:
    void setParts(QLabel* title, QString fullTitle, std::vector<QToolButton*> buttons) {
        title_ = title;
        fullTitle_ = std::move(fullTitle);
        buttons_ = std::move(buttons);
        fit();
    }

    void fit() {
        auto* row = qobject_cast<QHBoxLayout*>(layout());
        if (row == nullptr || title_ == nullptr) {
            return;
        }
        const QMargins margins = row->contentsMargins();
        int needed = margins.left() + margins.right() +
                     title_->fontMetrics().horizontalAdvance(fullTitle_) + 2;
        for (auto* button : buttons_) {
            button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
            needed += row->spacing() + button->sizeHint().width();
        }
        if (width() < needed) {
            for (auto* button : buttons_) {
                button->setToolButtonStyle(Qt::ToolButtonIconOnly);
            }
        }
    }

  protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        fit();
    }

  private:
    QLabel* title_ = nullptr;
    QString fullTitle_;
    std::vector<QToolButton*> buttons_;
};

// The last message in at most two lines, the second ending in an ellipsis when cut.
class TwoLineLabel final : public QLabel {
  public:
    // Two lines never hold more than a few hundred characters; the cap keeps layout cheap for
    // a very long message.
    explicit TwoLineLabel(const QString& text) : full_(text.left(600).simplified()) {
        setWordWrap(true);
        setTextFormat(Qt::PlainText);
        setText(full_);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }

  protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        const QFontMetrics metrics(font());
        setMaximumHeight(metrics.lineSpacing() * 2 + 2);
        const int width = std::max(1, contentsRect().width());
        // The first line takes the words that fit; the second takes the rest, elided.
        QString rest = full_;
        int fit = static_cast<int>(rest.size());
        while (fit > 0 && metrics.horizontalAdvance(rest.left(fit)) > width) {
            const auto space = rest.lastIndexOf(' ', fit - 1);
            fit = space > 0 ? static_cast<int>(space) : fit - 1;
        }
        fit = std::max(fit, 1);
        QString shown = rest.left(fit);
        rest = rest.mid(fit).trimmed();
        if (!rest.isEmpty()) {
            shown += '\n' + metrics.elidedText(rest, Qt::ElideRight, width);
        }
        if (text() != shown) {
            setText(shown);
        }
    }

  private:
    QString full_;
};

}  // namespace

AwaitingRepliesDetailView::AwaitingRepliesDetailView(
    AwaitingScreenPresenter::Dependencies dependencies, QWidget* parent)
    : QWidget(parent),
      presenter_(std::make_unique<AwaitingScreenPresenter>(std::move(dependencies))) {
    registerAwaitingResources();
    setObjectName("awaiting.screen");
    setWindowTitle(AwaitingScreenPresenter::title);
    setAutoFillBackground(true);
    build();
    focusWatch_ = connect(qApp, &QApplication::focusChanged, this, [this] { reportAttention(); });
    changes_ = presenter_->observe([this] { render(); });
    render();
}

void AwaitingRepliesDetailView::build() {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(makeToolbar());
    column->addWidget(divider(0));
    // What did not open (the conversation in Messages), in words.
    openFailure_ = textLabel({}, FontRole::caption, errorRed());
    openFailure_->setObjectName("awaiting.openFailure");
    openFailure_->setWordWrap(true);
    openFailure_->setContentsMargins(rowInsetH, 6, rowInsetH, 6);
    openFailure_->hide();
    column->addWidget(openFailure_);

    pages_ = new QStackedWidget;
    pages_->addWidget(makePlaceholder());
    auto* scroll = new QScrollArea;
    scroll->setObjectName("awaiting.list");
    setStandsInFor(scroll, {"awaiting.markAllRead"});
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* list = new QWidget;
    auto* listColumn = new QVBoxLayout(list);
    listColumn->setContentsMargins(0, 6, 0, 6);
    listColumn->setSpacing(0);
    rows_ = new QVBoxLayout;
    rows_->setSpacing(0);
    listColumn->addLayout(rows_);
    listColumn->addStretch();
    scroll->setWidget(list);
    pages_->addWidget(scroll);
    column->addWidget(pages_, 1);
    list_ = scroll;
    scroll->installEventFilter(this);
}

AwaitingRepliesDetailView::~AwaitingRepliesDetailView() {
    // Focus moves while the children go, after this part of the object has gone.
    disconnect(focusWatch_);
    list_->removeEventFilter(this);
}

bool AwaitingRepliesDetailView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_ && (event->type() == QEvent::Enter || event->type() == QEvent::Leave)) {
        pointerInList_ = event->type() == QEvent::Enter;
        reportAttention();
    }
    return QWidget::eventFilter(watched, event);
}

void AwaitingRepliesDetailView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // Shown again, the list comes in its own order.
    pointerInList_ = false;
    presenter_->holdOrder(false);
}

void AwaitingRepliesDetailView::reportAttention() {
    const QWidget* focus = QApplication::focusWidget();
    const bool focusInList = focus != nullptr && list_->isAncestorOf(focus);
    presenter_->holdOrder(isVisible() && (pointerInList_ || focusInList));
}

QWidget* AwaitingRepliesDetailView::makeToolbar() {
    auto* bar = new ToolbarRow;
    bar->setObjectName("awaiting.toolbar");
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(rowInsetH, 10, rowInsetH, 10);
    row->setSpacing(8);
    auto* title = new ElidedLabel(AwaitingScreenPresenter::title);
    title->setFont(Theme::font(FontRole::headline));
    setTextColour(title, ThemeColour::ink);
    title->setToolTip(AwaitingScreenPresenter::title);
    title->setAccessibleName(AwaitingScreenPresenter::title);
    title->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    title->setObjectName("awaiting.title");
    row->addWidget(title, 1);

    dayMenu_ = new QToolButton;
    dayMenu_->setObjectName("awaiting.dayWindow");
    dayMenu_->setPopupMode(QToolButton::InstantPopup);
    dayMenu_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    dayMenu_->setIcon(symbolIcon("calendar", ThemeColour::ink));
    dayMenu_->setMenu(new QMenu(dayMenu_));
    row->addWidget(dayMenu_);

    markAll_ = new QToolButton;
    markAll_->setObjectName("awaiting.markAllRead");
    markAll_->setText("Mark all as read");
    markAll_->setAccessibleName("Mark all as read");
    markAll_->setToolTip(AwaitingScreenPresenter::markAllHelp);
    markAll_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    markAll_->setIcon(symbolIcon("checkmark.circle", ThemeColour::ink));
    connect(markAll_, &QToolButton::clicked, this, [this] { presenter_->markAllAsRead(); });
    row->addWidget(markAll_);
    bar->setParts(title, AwaitingScreenPresenter::title, {dayMenu_, markAll_});
    return bar;
}

QWidget* AwaitingRepliesDetailView::makePlaceholder() {
    auto* page = new QWidget;
    page->setObjectName("awaiting.placeholder");
    setStandsInFor(page, {"awaiting.markAllRead"});
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(Theme::padding * 2, Theme::padding, Theme::padding * 2,
                               Theme::padding);
    column->setSpacing(8);
    column->addStretch();
    auto* icon = new QLabel;
    setSymbol(icon, "checkmark.circle", ThemeColour::secondary, 44, true);
    icon->setAlignment(Qt::AlignCenter);
    column->addWidget(icon);
    auto* title =
        textLabel(AwaitingScreenPresenter::placeholderTitle, FontRole::headline, ThemeColour::ink);
    title->setAlignment(Qt::AlignCenter);
    column->addWidget(title);
    placeholderDescription_ = textLabel({}, FontRole::subheadline, ThemeColour::secondary);
    placeholderDescription_->setObjectName("awaiting.placeholderDescription");
    placeholderDescription_->setAlignment(Qt::AlignCenter);
    placeholderDescription_->setWordWrap(true);
    column->addWidget(placeholderDescription_);
    column->addStretch();
    return page;
}

void AwaitingRepliesDetailView::setCatchUpAvailability(std::function<bool()> available) {
    catchUpAvailable_ = std::move(available);
}

void AwaitingRepliesDetailView::fillRowActions(QMenu* menu, const AwaitingReply& reply) {
    const auto ink = ThemeColour::ink;
    QAction* catchUp = menu->addAction(symbolIcon("sparkles", ink), "Catch me up", this,
                                       [this, reply] { presenter_->catchUp(reply); });
    catchUp->setObjectName("awaiting.catchUp");
    // Asked afresh each time the menu opens: a turn may have started since it was made.
    const auto refresh = [this, catchUp] {
        catchUp->setEnabled(!catchUpAvailable_ || catchUpAvailable_());
    };
    refresh();
    connect(menu, &QMenu::aboutToShow, catchUp, refresh);
    if (presenter_->offersReveal()) {
        menu->addAction(symbolIcon("arrow.up.right", ink), "Reveal in Messages", this,
                        [this, reply] { presenter_->reveal(reply); });
    }
    menu->addAction(symbolIcon("checkmark.circle", ink), "Mark as read", this,
                    [this, reply] { presenter_->markAsRead(reply); });
}

QWidget* AwaitingRepliesDetailView::makeRow(const AwaitingScreenContent& content,
                                            const AwaitingRowContent& row) {
    const auto& reply = row.reply;
    auto* widget = new QWidget;
    widget->setObjectName("awaiting.row");
    widget->setAccessibleName(qs(reply.contactName));
    widget->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(widget, &QWidget::customContextMenuRequested, this,
            [this, widget, reply](const QPoint& at) {
                QMenu menu;
                fillRowActions(&menu, reply);
                menu.exec(widget->mapToGlobal(at));
            });

    auto* line = new QHBoxLayout(widget);
    line->setContentsMargins(rowInsetH, rowInsetV, rowInsetH, rowInsetV);
    line->setSpacing(Theme::spacing);
    line->addWidget(new InitialsDisc(qs(row.initials)), 0, Qt::AlignTop);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(4);
    auto* first = new QHBoxLayout;
    first->setSpacing(6);
    // The name whole where it fits beside the time: "Needs reply" goes under it rather than
    // cutting it ("Mom" was "M…" at 1024x600 and twice the scale).
    auto* who = new FlowRow(Qt::AlignLeft, 6);
    auto* name = new ElidedLabel(qs(reply.contactName));
    name->setObjectName("awaiting.contactName");
    name->setFont(Theme::font(FontRole::headline));
    who->addWidget(name);
    if (row.needsReply) {
        auto* pill = new Badge("Needs reply", ThemeColour::accent, Shade(ThemeColour::accent, 0.15),
                               QMargins(6, 1, 6, 1));
        pill->setObjectName("awaiting.needsReply");
        QFont font = Theme::font(FontRole::caption);
        font.setPointSizeF(font.pointSizeF() - 1);
        font.setWeight(QFont::DemiBold);
        pill->setFont(font);
        pill->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        who->addWidget(pill);
    }
    first->addLayout(who, 1);
    auto* age = textLabel(qs(row.age), FontRole::caption, ThemeColour::secondary);
    age->setObjectName("awaiting.age");
    // Whole at any width: the name gives way. Text drawn at a higher pixel density can come out
    // wider than the metrics say, so a character's width is kept to spare.
    age->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    age->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    age->setMinimumWidth(age->fontMetrics().horizontalAdvance(age->text()) +
                         age->fontMetrics().averageCharWidth());
    first->addWidget(age, 0, Qt::AlignTop);
    texts->addLayout(first);

    auto* message = new TwoLineLabel(qs(reply.lastMessageText));
    message->setObjectName("awaiting.lastMessage");
    message->setFont(Theme::font(FontRole::subheadline));
    setPaletteColour(message, QPalette::WindowText, ThemeColour::secondary);
    texts->addWidget(message);

    // Where the row is narrow (a small screen at twice the scale), the buttons wrap.
    auto* actions = new FlowRow(Qt::AlignLeft, 8);
    actions->setContentsMargins(0, 3, 0, 0);
    auto* draft = button(qs(content.draftLabel), "awaiting.draft", qs(content.draftHelp));
    draft->setIcon(symbolIcon(qs(content.draftSymbol), ThemeColour::onAccent, false));
    Theme::useAccentButton(draft);
    connect(draft, &QPushButton::clicked, this,
            [this, reply] { presenter_->drafts().startDraft(reply); });
    setFocusKey(draft, rowKey("awaiting.draft", reply.chatId));
    // The draft dismissed, the focus goes back to what opened it.
    setStandsInFor(draft, {rowKey("awaiting.dismiss", reply.chatId)});
    actions->addWidget(draft);
    auto* more = new QToolButton;
    more->setObjectName("awaiting.moreActions");
    more->setAccessibleName("More actions");
    more->setToolTip("More actions");
    more->setAutoRaise(true);
    more->setPopupMode(QToolButton::InstantPopup);
    more->setStyleSheet("QToolButton::menu-indicator { image: none; width: 0; }");
    more->setIcon(symbolIcon("ellipsis.circle", ThemeColour::secondary));
    more->setIconSize({18, 18});
    auto* moreMenu = new QMenu(more);
    fillRowActions(moreMenu, reply);
    more->setMenu(moreMenu);
    setFocusKey(more, rowKey("awaiting.moreActions", reply.chatId));
    actions->addWidget(more);
    texts->addLayout(actions);
    line->addLayout(texts, 1);
    return widget;
}

QWidget* AwaitingRepliesDetailView::makeEditor(const AwaitingScreenContent& content,
                                               const AwaitingRowContent& row, QPushButton** send) {
    const auto& draft = *row.editor;
    const auto reply = row.reply;
    auto* holder = new QWidget;
    holder->setObjectName("awaiting.draftEditor");
    // Under the row's texts, where there is room: at the narrowest the indent gives way before
    // the buttons would push the rows past the list's edge.
    auto* indented = new QHBoxLayout(holder);
    indented->setContentsMargins(rowInsetH, 0, rowInsetH, 12);
    indented->setSpacing(0);
    indented->addSpacerItem(
        new QSpacerItem(textColumn - rowInsetH, 0, QSizePolicy::Preferred, QSizePolicy::Minimum));
    auto* column = new QVBoxLayout;
    column->setSpacing(8);
    indented->addLayout(column, 1);
    *send = nullptr;

    if (draft.isLoading) {
        auto* loading = new QHBoxLayout;
        loading->setSpacing(8);
        auto* spinner = new QProgressBar;
        spinner->setObjectName("awaiting.drafting");
        spinner->setRange(0, 0);
        spinner->setFixedSize(16, 6);
        spinner->setTextVisible(false);
        loading->addWidget(spinner);
        auto* caption =
            textLabel(qs(draft.loadingCaption), FontRole::caption, ThemeColour::secondary);
        caption->setWordWrap(true);
        loading->addWidget(caption, 1);
        column->addLayout(loading);
        // Regenerate pressed, the focus waits here for the new draft's.
        holder->setAccessibleName(qs(draft.loadingCaption));
        setStandsInFor(holder, {rowKey("awaiting.regenerate", reply.chatId)});
        return holder;
    }

    auto* editor = new QPlainTextEdit;
    editor->setObjectName("awaiting.draftText");
    editor->setAccessibleName("Draft reply");
    setFocusKey(editor, rowKey("awaiting.draftText", reply.chatId));
    // Tab moves on to the draft's buttons, as in the chat's composer.
    editor->setTabChangesFocus(true);
    editor->setFont(Theme::font(FontRole::body));
    editor->setPlainText(qs(draft.text));
    editor->setToolTip(qs(draft.tooltip));
    editor->setMinimumHeight(56);
    editor->setMaximumHeight(130);
    editor->setFixedHeight(std::clamp(static_cast<int>(editor->document()->size().height() *
                                                       editor->fontMetrics().lineSpacing()) +
                                          20,
                                      56, 130));
    // The rounded box is drawn behind the field, in the colours of the appearance shown.
    editor->setFrameShape(QFrame::NoFrame);
    editor->setStyleSheet("QPlainTextEdit { background: transparent; padding: 6px; }");
    editor->viewport()->setAutoFillBackground(false);
    connect(editor, &QPlainTextEdit::textChanged, this,
            [this, editor] { presenter_->drafts().setText(editor->toPlainText().toStdString()); });
    auto* box = new chat_style::RoundedPanel(ThemeColour::panel, 8, ThemeColour::edge);
    auto* boxLayout = new QVBoxLayout(box);
    boxLayout->setContentsMargins(1, 1, 1, 1);
    boxLayout->addWidget(editor);
    column->addWidget(box);

    const auto statusLine = [column](const std::string& text, const char* symbol,
                                     const Shade& colour, const char* objectName) {
        auto* status = new QHBoxLayout;
        status->setSpacing(6);
        auto* icon = new QLabel;
        setSymbol(icon, symbol, colour, 14);
        status->addWidget(icon);
        auto* label = textLabel(qs(text), FontRole::caption, colour);
        label->setObjectName(objectName);
        label->setWordWrap(true);
        label->setAccessibleName(qs(text));
        status->addWidget(label, 1);
        column->addLayout(status);
    };
    if (draft.status) {
        statusLine(*draft.status, "exclamationmark.triangle", errorRed(), "awaiting.draftStatus");
    }
    if (draft.notice) {
        statusLine(*draft.notice, "checkmark.circle", ThemeColour::secondary,
                   "awaiting.draftNotice");
    }

    // At the trailing edge; where the draft is narrow they wrap to a second line.
    auto* buttons = new FlowRow(Qt::AlignRight, 8);
    auto* dismiss = button("Dismiss", "awaiting.dismiss");
    dismiss->setFlat(true);
    setPaletteColour(dismiss, QPalette::ButtonText, ThemeColour::secondary);
    connect(dismiss, &QPushButton::clicked, this, [this] { presenter_->drafts().dismiss(); });
    buttons->addWidget(dismiss);
    auto* regenerate = button("Regenerate", "awaiting.regenerate");
    regenerate->setIcon(symbolIcon("arrow.clockwise", ThemeColour::ink));
    connect(regenerate, &QPushButton::clicked, this,
            [this, reply] { presenter_->drafts().regenerate(reply); });
    buttons->addWidget(regenerate);
    auto* sendButton = button(qs(content.sendLabel), "awaiting.send", qs(content.sendHelp));
    sendButton->setIcon(symbolIcon(content.sendSymbol.c_str(), ThemeColour::onAccent, false));
    Theme::useAccentButton(sendButton);
    sendButton->setEnabled(draft.sendEnabled);
    connect(sendButton, &QPushButton::clicked, this,
            [this, reply] { presenter_->drafts().send(reply); });
    buttons->addWidget(sendButton);
    for (QPushButton* each : {dismiss, regenerate, sendButton}) {
        setFocusKey(each, rowKey(each->objectName(), reply.chatId));
    }
    column->addLayout(buttons);
    *send = sendButton;
    return holder;
}

void AwaitingRepliesDetailView::updateToolbar(const AwaitingScreenContent& content) {
    dayMenu_->setVisible(content.showsDayMenu);
    dayMenu_->setText(qs(content.dayMenuLabel));
    if (auto* toolbar = dynamic_cast<ToolbarRow*>(dayMenu_->parentWidget())) {
        toolbar->fit();
    }
    dayMenu_->setAccessibleName(qs(content.dayMenuLabel));
    dayMenu_->setToolTip(qs(content.dayMenuHelp));
    QMenu* menu = dayMenu_->menu();
    menu->clear();
    for (const auto& choice : content.dayChoices) {
        auto* action = menu->addAction(qs(choice.title), this, [this, days = choice.days] {
            presenter_->chooseDayWindow(days);
            render();
        });
        if (choice.checked) {
            action->setIcon(symbolIcon("checkmark", ThemeColour::ink));
        }
    }
    markAll_->setVisible(content.showsMarkAllAsRead);
    openFailure_->setText(qs(content.openFailure.value_or("")));
    openFailure_->setAccessibleName(openFailure_->text());
    openFailure_->setVisible(content.openFailure.has_value());
    placeholderDescription_->setText(qs(content.placeholderDescription));
    pages_->setCurrentIndex(content.rows.empty() ? 0 : 1);
}

void AwaitingRepliesDetailView::updateList(const AwaitingScreenContent& content) {
    // A row or a draft rebuilt keeps the focus its control had.
    const FocusKeeper::Rebuild keepsFocus(list_->widget());
    // Out of the screen at once, deleted later: the button being clicked may be inside it.
    const auto discard = [](QWidget* widget) {
        if (widget != nullptr) {
            widget->hide();
            widget->setParent(nullptr);
            widget->deleteLater();
        }
    };
    const std::string draftButton =
        content.draftLabel + '\n' + content.draftSymbol + '\n' + content.draftHelp;
    std::map<std::string, RowWidgets> kept;
    std::vector<QWidget*> order;
    for (const auto& row : content.rows) {
        RowWidgets widgets;
        if (auto found = rowWidgets_.extract(row.reply.chatId)) {
            widgets = found.mapped();
        }
        auto rowShape = row;
        rowShape.editor.reset();
        if (widgets.row == nullptr || widgets.rowShape != rowShape ||
            widgets.draftButton != draftButton) {
            discard(widgets.row);
            widgets.row = makeRow(content, row);
            widgets.rowShape = std::move(rowShape);
            widgets.draftButton = draftButton;
        }
        std::optional<DraftEditorContent> editorShape = row.editor;
        if (editorShape) {
            editorShape->text.clear();
            editorShape->sendEnabled = false;
        }
        if (widgets.editorShape != editorShape) {
            discard(widgets.editor);
            widgets.editor = nullptr;
            widgets.send = nullptr;
            if (row.editor) {
                widgets.editor = makeEditor(content, row, &widgets.send);
            }
            widgets.editorShape = std::move(editorShape);
        } else if (widgets.send != nullptr) {
            // Only the typed text moved: the editor stays as it is, Send follows it.
            widgets.send->setEnabled(row.editor->sendEnabled);
        }
        if (widgets.divider == nullptr) {
            widgets.divider = divider(64);
        }
        order.push_back(widgets.row);
        if (widgets.editor != nullptr) {
            order.push_back(widgets.editor);
        }
        order.push_back(widgets.divider);
        kept[row.reply.chatId] = widgets;
    }
    for (auto& [chatId, gone] : rowWidgets_) {
        discard(gone.row);
        discard(gone.editor);
        discard(gone.divider);
    }
    rowWidgets_ = std::move(kept);
    // Typing in a draft changes no order: nothing to lay out again.
    bool laidOut = rows_->count() == static_cast<int>(order.size());
    for (int i = 0; laidOut && i < rows_->count(); ++i) {
        laidOut = rows_->itemAt(i)->widget() == order[static_cast<std::size_t>(i)];
    }
    if (laidOut) {
        return;
    }
    // Laid out again in order; widgets that stay are moved, not rebuilt.
    while (QLayoutItem* item = rows_->takeAt(0)) {
        delete item;
    }
    for (QWidget* widget : order) {
        rows_->addWidget(widget);
        // Children in the order shown: assistive tools read them in that order.
        widget->raise();
    }
    // Tab in that order too: a draft's buttons come right after its text.
    orderTabStops(list_->widget());
}

void AwaitingRepliesDetailView::render() {
    // Mark All as Read hidden once nothing is left to mark: the focus goes to what is left in
    // its place (the list, or the page saying nothing awaits), never on to the next control.
    const FocusKeeper::Rebuild keepsFocus(this);
    const auto content = presenter_->content();
    auto toolbar = content;
    toolbar.rows.clear();
    if (toolbarShape_ != toolbar) {
        updateToolbar(content);
        toolbarShape_ = std::move(toolbar);
    }
    pages_->setCurrentIndex(content.rows.empty() ? 0 : 1);
    updateList(content);
    // A line that came above the focused control ("Copied") pushes it down: once laid out, the
    // list shows it whole.
    if (QWidget* focus = window()->focusWidget();
        focus != nullptr && list_->widget()->isAncestorOf(focus)) {
        QTimer::singleShot(0, focus,
                           [list = list_, focus] { list->ensureWidgetVisible(focus, 0, 8); });
    }
}

}  // namespace vask::ui
