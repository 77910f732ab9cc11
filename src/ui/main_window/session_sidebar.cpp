#include "ui/main_window/session_sidebar.h"

#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QResizeEvent>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/symbols.h"

namespace vask::ui {

namespace {

constexpr int selectionRole = Qt::UserRole + 1;  // "awaiting" or the session id
constexpr const char* awaitingTag = "\x01awaiting";

QWidget* sessionRow(const sidebar::RowsShown::Session& row, int width) {
    const bool highlighted = row.selected;
    const Shade ink = highlighted ? ThemeColour::onAccent : ThemeColour::ink;
    const Shade secondary = highlighted ? ThemeColour::onAccent : ThemeColour::secondary;
    auto* widget = new QWidget;
    widget->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* column = new QVBoxLayout(widget);
    column->setContentsMargins(Theme::spacingSmall, 2 + 3, Theme::spacingSmall, 2 + 3);
    column->setSpacing(2);
    const int textWidth = width - 2 * Theme::spacingSmall;
    const QFontMetrics titleMetrics(Theme::font(FontRole::body));
    auto* title =
        styledText(titleMetrics.elidedText(qs(row.title), Qt::ElideRight, std::max(textWidth, 0)),
                   FontRole::body, ink);
    title->setObjectName("session-title");
    title->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    column->addWidget(title);
    auto* line = new QHBoxLayout;
    line->setSpacing(4);
    // The time keeps its whole width; the preview gets what is left.
    const QString when = qs(row.age);
    if (!row.preview.empty()) {
        const QFontMetrics metrics(Theme::font(FontRole::subheadline));
        const int left = sidebar::textSpace(
            textWidth, {metrics.horizontalAdvance(when), 8, metrics.horizontalAdvance(" \u00b7 ")});
        const QString shown = metrics.elidedText(qs(row.preview), Qt::ElideRight, left);
        auto* preview = styledText(shown, FontRole::subheadline, secondary);
        preview->setObjectName("session-preview");
        // As wide as its (elided) text, so the age follows it closely.
        preview->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
        line->addWidget(preview);
        line->addWidget(styledText("\u00b7", FontRole::subheadline, secondary));
    }
    auto* age = styledText(when, FontRole::subheadline, secondary);
    age->setObjectName("session-age");
    age->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    line->addWidget(age);
    line->addStretch();
    column->addLayout(line);
    return widget;
}

}  // namespace

SessionSidebar::SessionSidebar(MainWindowChat& chat, Dependencies dependencies, QWidget* parent)
    : QWidget(parent), chat_(chat), deps_(std::move(dependencies)), model_(chat) {
    ensureViewIcons();
    setObjectName("session-sidebar");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(Theme::spacingSmall, Theme::spacing, Theme::spacingSmall, 0);
    column->setSpacing(Theme::spacingSmall);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(Theme::spacingSmall, 0, 0, 0);
    header->addWidget(styledText("Vask", FontRole::headline, ThemeColour::ink));
    header->addStretch();
    newChat_ = new QToolButton;
    newChat_->setObjectName("new-chat-button");
    newChat_->setAccessibleName("New Chat");
    newChat_->setToolTip("New Chat");
    newChat_->setAutoRaise(true);
    newChat_->setIcon(symbolIcon("square.and.pencil", ThemeColour::ink, false));
    connect(newChat_, &QToolButton::clicked, this, [this] { emit picked(model_.newChat()); });
    header->addWidget(newChat_);
    column->addLayout(header);

    search_ = new QLineEdit;
    search_->setObjectName("sidebar-search");
    search_->setAccessibleName("Search chats");
    search_->setPlaceholderText("Search chats");
    setPaletteColour(search_, QPalette::PlaceholderText, ThemeColour::secondary);
    search_->setClearButtonEnabled(true);
    search_->addAction(symbolIcon("magnifyingglass", ThemeColour::secondary, false),
                       QLineEdit::LeadingPosition);
    connect(search_, &QLineEdit::textChanged, this, [this](const QString& text) {
        model_.searchText = text.toStdString();
        if (filter_) {
            rebuildRows();
        }
    });
    column->addWidget(search_);

    list_ = new QListWidget;
    list_->setObjectName("session-list");
    list_->setAccessibleName("Chats");
    list_->setFrameShape(QFrame::NoFrame);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->viewport()->setAutoFillBackground(false);
    list_->setStyleSheet("QListWidget { background: transparent; }");
    connect(list_, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (rendering_ || item == nullptr) {
            return;
        }
        const QString tag = item->data(selectionRole).toString();
        emit picked(tag == awaitingTag ? SidebarSelection::awaitingReplies()
                                       : SidebarSelection::chat(tag.toStdString()));
    });
    connect(list_, &QListWidget::customContextMenuRequested, this,
            &SessionSidebar::showContextMenu);
    column->addWidget(list_, 1);

    // Rows are laid out for the list's width: a narrower or wider list lays them out again.
    list_->viewport()->installEventFilter(this);
    // "5 min. ago" must not stay that for an hour, nor the badge count replies that aged out.
    auto* minute = new QTimer(this);
    minute->setInterval(std::chrono::minutes(1));
    connect(minute, &QTimer::timeout, this, [this] {
        if (filter_) {
            rebuildRows();
        }
    });
    minute->start();

    overlay_ = new QLabel(list_);
    overlay_->setObjectName("sidebar-empty");
    overlay_->setAlignment(Qt::AlignCenter);
    overlay_->setWordWrap(true);
    overlay_->setFont(Theme::font(FontRole::body));
    setTextColour(overlay_, ThemeColour::secondary);
    overlay_->hide();

    if (!deps_.prompt) {
        deps_.prompt = standardPrompt();
    }
    if (!deps_.confirm) {
        deps_.confirm = standardConfirm();
    }
}

bool SessionSidebar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_->viewport() && event->type() == QEvent::Resize && filter_ && !rendering_) {
        const auto* resize = static_cast<QResizeEvent*>(event);
        if (resize->size().width() != resize->oldSize().width()) {
            // After the resize has settled: rebuilding inside it may resize the list again.
            QTimer::singleShot(0, this, [this] {
                if (filter_) {
                    rebuildRows();
                }
            });
        }
    }
    return QWidget::eventFilter(watched, event);
}

std::shared_ptr<const ChatSession> SessionSidebar::session(const std::string& id) const {
    if (filter_) {
        for (const auto& row : filter_->rows()) {
            if (row.session->id == id) {
                return row.session;
            }
        }
    }
    return nullptr;
}

void SessionSidebar::render(const std::optional<SidebarSelection>& selection) {
    selection_ = selection;
    // The chat shares unchanged sessions between its lists: an unchanged list is not indexed
    // again (the chat publishes often while a turn runs).
    auto sessions = chat_.savedSessions();
    if (!filter_ || sessions.size() != filter_->rows().size() ||
        !std::equal(sessions.begin(), sessions.end(), filter_->rows().begin(),
                    [](const auto& session, const auto& row) { return session == row.session; })) {
        filter_ = std::make_unique<SessionFilter>(std::move(sessions));
    }
    rebuildRows();
}

void SessionSidebar::rebuildRows() {
    const auto replies =
        deps_.awaitingReplies ? deps_.awaitingReplies() : std::vector<AwaitingReply>{};
    auto next = sidebar::rowsShown({
        .filter = *filter_,
        .searchText = model_.searchText,
        .selection = selection_,
        .showsProactive = deps_.showsProactive && deps_.showsProactive(),
        .replies = replies,
        .displayDays = deps_.displayDays ? deps_.displayDays() : 0,
        .nowUnixSeconds = deps_.now(),
        .width = list_->viewport()->width(),
    });
    if (laidOut_ && next == shown_) {
        // The list may still have moved its selection itself (a click the window turned down).
        showSelection();
        return;
    }
    laidOut_ = true;
    shown_ = std::move(next);
    rendering_ = true;
    list_->clear();

    if (shown_.awaitingCount) {
        auto* item = new QListWidgetItem(list_);
        item->setData(selectionRole, QString(awaitingTag));
        item->setData(Qt::AccessibleTextRole, "Awaiting your reply");
        auto* row = new QWidget;
        row->setAttribute(Qt::WA_TransparentForMouseEvents);
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(Theme::spacingSmall, 6, Theme::spacingSmall, 6);
        line->setSpacing(Theme::spacingSmall);
        // Highlighted whenever selected, active window or not: the list paints the selection
        // in the accent either way, and the text on it must stay readable.
        const bool highlighted = shown_.awaitingSelected;
        const Shade ink = highlighted ? ThemeColour::onAccent : ThemeColour::ink;
        auto* icon = awaitingIcon(highlighted ? ThemeColour::onAccent : ThemeColour::accent);
        line->addWidget(icon);
        auto* badge = new Badge(QString::number(*shown_.awaitingCount),
                                highlighted ? ThemeColour::accent : ThemeColour::onAccent,
                                highlighted ? ThemeColour::onAccent : ThemeColour::accent,
                                QMargins(6, 1, 6, 1));
        badge->setObjectName("awaiting-count");
        QFont semibold = Theme::font(FontRole::caption);
        semibold.setWeight(QFont::DemiBold);
        badge->setFont(semibold);
        badge->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        // The badge and the icon keep their whole width; the label gets what is left.
        const int labelWidth =
            sidebar::textSpace(shown_.width, {2 * Theme::spacingSmall, icon->sizeHint().width(),
                                              badge->sizeHint().width(), 2 * Theme::spacingSmall});
        const QFontMetrics metrics(Theme::font(FontRole::body));
        auto* label =
            styledText(metrics.elidedText("Awaiting your reply", Qt::ElideRight, labelWidth),
                       FontRole::body, ink);
        label->setObjectName("awaiting-label");
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        line->addWidget(label, 1);
        line->addWidget(badge);
        item->setSizeHint(QSize(0, row->sizeHint().height()));
        list_->setItemWidget(item, row);
    }

    auto* header = new QListWidgetItem("Chats", list_);
    header->setFlags(Qt::NoItemFlags);
    QFont headerFont = Theme::font(FontRole::caption);
    headerFont.setWeight(QFont::DemiBold);
    header->setFont(headerFont);
    // Drawn by a label in the secondary colour of whichever appearance is shown; the item keeps
    // its text for assistive technology.
    header->setForeground(Qt::transparent);
    auto* headerLabel = styledText("Chats", FontRole::caption, ThemeColour::secondary);
    headerLabel->setFont(headerFont);
    headerLabel->setContentsMargins(Theme::spacingSmall, 0, 0, 0);
    headerLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
    list_->setItemWidget(header, headerLabel);
    for (const auto& row : shown_.sessions) {
        auto* item = new QListWidgetItem(list_);
        item->setData(selectionRole, qs(row.id));
        item->setData(Qt::AccessibleTextRole, qs(row.title));
        auto* widget = sessionRow(row, shown_.width);
        item->setSizeHint(QSize(0, widget->sizeHint().height()));
        list_->setItemWidget(item, widget);
    }
    showSelection();

    switch (shown_.overlay) {
        case sidebar::Overlay::noChats:
            overlay_->setText("No Chats Yet");
            overlay_->show();
            break;
        case sidebar::Overlay::noSearchResults:
            overlay_->setText(QString("No Results for \u201c%1\u201d\n\nCheck the spelling or try "
                                      "a new search.")
                                  .arg(qs(shown_.searchText)));
            overlay_->show();
            break;
        case sidebar::Overlay::none:
            overlay_->hide();
            break;
    }
    overlay_->setGeometry(list_->rect().adjusted(Theme::spacing, 0, -Theme::spacing, 0));
    rendering_ = false;
}

QLabel* SessionSidebar::awaitingIcon(const Shade& colour) {
    return symbolLabel("tray.and.arrow.down.fill", colour, 16);
}

void SessionSidebar::showSelection() {
    const bool wasRendering = std::exchange(rendering_, true);
    // Rows in order: the awaiting row when there, the "Chats" header, the sessions.
    const int first = shown_.awaitingCount ? 2 : 1;
    int selected = shown_.awaitingSelected ? 0 : -1;
    for (std::size_t i = 0; i < shown_.sessions.size(); ++i) {
        if (shown_.sessions[i].selected) {
            selected = first + static_cast<int>(i);
        }
    }
    if (list_->currentRow() != selected) {
        list_->setCurrentRow(selected);
    }
    if (selected < 0) {
        list_->clearSelection();
    }
    rendering_ = wasRendering;
}

void SessionSidebar::showContextMenu(const QPoint& position) {
    auto* item = list_->itemAt(position);
    if (!item) {
        return;
    }
    const QString tag = item->data(selectionRole).toString();
    if (tag.isEmpty() || tag == awaitingTag) {
        return;
    }
    const std::string id = tag.toStdString();
    QMenu menu(this);
    menu.addAction(symbolIcon("pencil", ThemeColour::ink, false), "Rename", this,
                   [this, id] { rename(id); });
    auto* remove = menu.addAction(symbolIcon("trash", errorRed(), false), "Delete Chat", this,
                                  [this, id] { confirmDeletion(id); });
    remove->setObjectName(qs("delete-chat-" + id));
    menu.exec(list_->viewport()->mapToGlobal(position));
}

void SessionSidebar::rename(const std::string& sessionID) {
    auto target = session(sessionID);
    if (!target) {
        return;
    }
    model_.beginRename(*target);
    const auto title = deps_.prompt(this, "Rename Chat", "Title", qs(model_.renameDraft));
    if (!title) {
        model_.cancelRename();
        return;
    }
    model_.renameDraft = title->toStdString();
    model_.commitRename();
}

void SessionSidebar::confirmDeletion(const std::string& sessionID) {
    auto target = session(sessionID);
    if (!target) {
        return;
    }
    model_.requestDeletion(target);
    const bool confirmed = deps_.confirm(
        this, {"Delete this chat?", deleteMessage, "Delete Chat", "confirm-delete-chat"});
    if (confirmed) {
        model_.confirmDeletion();
    } else {
        model_.cancelDeletion();
    }
}

SessionSidebar::PromptText SessionSidebar::standardPrompt() {
    return [](QWidget* parent, const QString& title, const QString& label,
              const QString& text) -> std::optional<QString> {
        QInputDialog dialog(parent);
        Theme::useBrandButtons(&dialog);
        dialog.setWindowTitle(title);
        dialog.setLabelText(label);
        dialog.setTextValue(text);
        dialog.setOkButtonText("Rename");
        dialog.setCancelButtonText("Cancel");
        if (dialog.exec() != QDialog::Accepted) {
            return std::nullopt;
        }
        return dialog.textValue();
    };
}

}  // namespace vask::ui
