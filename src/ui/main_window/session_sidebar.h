#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/subscription.h"
#include "shell/main_window_chat.h"
#include "shell/session_sidebar_model.h"
#include "ui/settings/form_parts.h"

class QLabel;
class QLineEdit;
class QToolButton;

namespace vask::ui {

class SessionListView;
class SessionRowsModel;

// The main window's sidebar: "New Chat", the search field, the awaiting-reply row and the saved
// chats, newest first, each with Rename and a confirmed Delete Chat. The list is a view over
// SessionRowsModel, whose rows SessionRowDelegate paints.
class SessionSidebar : public QWidget {
    Q_OBJECT
  public:
    // Asks for a new title; nothing when the user cancelled.
    using PromptText = std::function<std::optional<QString>(
        QWidget* parent, const QString& title, const QString& label, const QString& text)>;
    struct Dependencies {
        std::function<std::vector<AwaitingReply>()> awaitingReplies;
        std::function<int()> displayDays;
        std::function<bool()> showsProactive;
        std::function<std::int64_t()> now;  // Unix seconds
        Confirm confirm;
        PromptText prompt;
    };

    static constexpr const char* deleteMessage =
        "This permanently deletes the chat history. Saved memory is not deleted; manage it in "
        "Settings.";

    SessionSidebar(MainWindowChat& chat, Dependencies dependencies, QWidget* parent = nullptr);

    // Shows the sessions as they are now, with `selection` highlighted.
    void render(const std::optional<SidebarSelection>& selection);
    SessionSidebarModel& model() { return model_; }

    // The row actions, as the context menu runs them.
    void rename(const std::string& sessionID);
    void confirmDeletion(const std::string& sessionID);
    static PromptText standardPrompt();

  signals:
    void picked(const std::optional<SidebarSelection>& selection);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void showRows();
    // Selects the row the shown rows say is selected.
    void showSelection();
    void placeOverlay();
    void showContextMenu(const QPoint& position);
    std::shared_ptr<const ChatSession> session(const std::string& id) const;

    MainWindowChat& chat_;
    Dependencies deps_;
    SessionSidebarModel model_;
    std::unique_ptr<SessionFilter> filter_;
    std::optional<SidebarSelection> selection_;
    bool rendering_ = false;
    QToolButton* newChat_ = nullptr;
    QLineEdit* search_ = nullptr;
    SessionRowsModel* rows_ = nullptr;
    SessionListView* list_ = nullptr;
    QLabel* overlay_ = nullptr;
};

}  // namespace vask::ui
