#include "ui/main_window/session_sidebar.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMouseEvent>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/main_window/session_list_view.h"
#include "ui/main_window/session_rows.h"
#include "ui/symbols.h"

namespace vask::ui {

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
            showRows();
        }
    });
    column->addWidget(search_);

    rows_ = new SessionRowsModel(this);
    list_ = new SessionListView;
    list_->setObjectName("session-list");
    list_->setAccessibleName("Chats");
    list_->setFrameShape(QFrame::NoFrame);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->viewport()->setAutoFillBackground(false);
    list_->setStyleSheet("QListView { background: transparent; }");
    list_->setModel(rows_);
    list_->setItemDelegate(new SessionRowDelegate(list_));
    connect(list_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                const QString tag = current.data(SessionRowsModel::selectionRole).toString();
                if (rendering_ || tag.isEmpty()) {
                    return;
                }
                // Only the user picks: a row the list made current by itself (its window
                // activated, a row arriving) goes back to the one the window shows.
                if (!list_->userIsPicking()) {
                    showSelection();
                    return;
                }
                emit picked(tag == SessionRowsModel::awaitingTag
                                ? SidebarSelection::awaitingReplies()
                                : SidebarSelection::chat(tag.toStdString()));
            });
    connect(list_, &QListView::customContextMenuRequested, this, &SessionSidebar::showContextMenu);
    column->addWidget(list_, 1);
    // The empty list's notice covers the list.
    list_->installEventFilter(this);
    // A right click only asks for a row's menu: it does not open the row first.
    list_->viewport()->installEventFilter(this);

    // "5 min. ago" must not stay that for an hour, nor the badge count replies that aged out.
    auto* minute = new QTimer(this);
    minute->setInterval(std::chrono::minutes(1));
    connect(minute, &QTimer::timeout, this, [this] {
        if (filter_) {
            showRows();
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
    if (watched == list_ && event->type() == QEvent::Resize) {
        placeOverlay();
    }
    if (watched == list_->viewport()) {
        const auto type = event->type();
        if ((type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
             type == QEvent::MouseButtonDblClick) &&
            static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void SessionSidebar::placeOverlay() {
    overlay_->setGeometry(list_->rect().adjusted(Theme::spacing, 0, -Theme::spacing, 0));
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
    showRows();
}

void SessionSidebar::showRows() {
    const auto replies =
        deps_.awaitingReplies ? deps_.awaitingReplies() : std::vector<AwaitingReply>{};
    const bool wasRendering = std::exchange(rendering_, true);
    // The model changes only the rows that show something new.
    rows_->show(sidebar::rowsShown({
        .filter = *filter_,
        .searchText = model_.searchText,
        .selection = selection_,
        .showsProactive = deps_.showsProactive && deps_.showsProactive(),
        .replies = replies,
        .displayDays = deps_.displayDays ? deps_.displayDays() : 0,
        .nowUnixSeconds = deps_.now(),
    }));
    // The list may also have moved its selection itself (a click the window turned down).
    showSelection();

    const auto& shown = rows_->shown();
    switch (shown.overlay) {
        case sidebar::Overlay::noChats:
            overlay_->setText("No Chats Yet");
            overlay_->show();
            break;
        case sidebar::Overlay::noSearchResults:
            overlay_->setText(QString("No Results for \u201c%1\u201d\n\nCheck the spelling or try "
                                      "a new search.")
                                  .arg(qs(shown.searchText)));
            overlay_->show();
            break;
        case sidebar::Overlay::none:
            overlay_->hide();
            break;
    }
    placeOverlay();
    rendering_ = wasRendering;
}

void SessionSidebar::showSelection() {
    const bool wasRendering = std::exchange(rendering_, true);
    const auto selected = rows_->selectedRow();
    const QModelIndex target = selected ? rows_->index(*selected) : QModelIndex();
    // The list can make a row current without selecting it (Tab into a list with no current
    // row): a row that is current is shown selected too.
    auto* selection = list_->selectionModel();
    if (list_->currentIndex() != target || (target.isValid() && !selection->isSelected(target))) {
        selection->setCurrentIndex(target, QItemSelectionModel::ClearAndSelect);
    }
    if (!selected) {
        list_->clearSelection();
    }
    rendering_ = wasRendering;
}

void SessionSidebar::showContextMenu(const QPoint& position) {
    const QString tag = list_->indexAt(position).data(SessionRowsModel::selectionRole).toString();
    if (tag.isEmpty() || tag == SessionRowsModel::awaitingTag) {
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
