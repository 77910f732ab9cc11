#pragma once

#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/subscription.h"
#include "platform/url_opener.h"
#include "proactive/awaiting_screen_presenter.h"
#include "ui/theme.h"

class QEvent;
class QHideEvent;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QStackedWidget;
class QToolButton;
class QVBoxLayout;

namespace vask::ui {

// The main window's "Awaiting your reply" screen: the conversations waiting for the user's
// answer, with the day-window menu, "Mark all as read", the row actions and the one open reply
// draft. What it shows comes from AwaitingScreenPresenter; the widget only lays it out and
// redraws when the list, the verdicts or the draft change. The draft goes with the screen.
class AwaitingRepliesDetailView : public QWidget {
    Q_OBJECT
  public:
    using CatchUp = std::function<void(const AwaitingReply&)>;

    explicit AwaitingRepliesDetailView(AwaitingScreenPresenter::Dependencies dependencies,
                                       QWidget* parent = nullptr);
    ~AwaitingRepliesDetailView() override;

    AwaitingScreenPresenter& presenter() { return *presenter_; }

    // "Catch me up" is offered only while `available` says so (the chat can take a question);
    // always without it.
    void setCatchUpAvailability(std::function<bool()> available);

    // Redraws from the presenter; called on every change it reports.
    void render();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    // The widgets of one conversation, kept across redraws while what they show is unchanged,
    // so the editor being typed in keeps its focus, cursor and undo history.
    struct RowWidgets {
        QWidget* row = nullptr;
        QWidget* divider = nullptr;
        // What `row` was built from: the row without its editor, and the draft button's texts.
        AwaitingRowContent rowShape;
        std::string draftButton;
        QWidget* editor = nullptr;
        // What `editor` was built from, without the text typed into it.
        std::optional<DraftEditorContent> editorShape;
        QPushButton* send = nullptr;
    };

    void build();
    QWidget* makeToolbar();
    QWidget* makePlaceholder();
    QWidget* makeRow(const AwaitingScreenContent& content, const AwaitingRowContent& row);
    QWidget* makeEditor(const AwaitingScreenContent& content, const AwaitingRowContent& row,
                        QPushButton** send);
    void fillRowActions(class QMenu* menu, const AwaitingReply& reply);
    void updateList(const AwaitingScreenContent& content);
    void updateToolbar(const AwaitingScreenContent& content);
    // Tells the presenter whether the pointer is over the list or the focus inside it.
    void reportAttention();

    std::unique_ptr<AwaitingScreenPresenter> presenter_;
    QToolButton* dayMenu_ = nullptr;
    QToolButton* markAll_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    QLabel* placeholderDescription_ = nullptr;
    QLabel* openFailure_ = nullptr;
    QVBoxLayout* rows_ = nullptr;
    // The scroll area holding the rows.
    QScrollArea* list_ = nullptr;
    bool pointerInList_ = false;
    QMetaObject::Connection focusWatch_;
    // By chat id.
    std::map<std::string, RowWidgets> rowWidgets_;
    // What the toolbar was last built from (the content without its rows).
    std::optional<AwaitingScreenContent> toolbarShape_;
    Subscription changes_;
    std::function<bool()> catchUpAvailable_;
};

}  // namespace vask::ui
