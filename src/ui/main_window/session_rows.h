#pragma once

#include <QAbstractListModel>
#include <QColor>
#include <QFont>
#include <QRect>
#include <QStyledItemDelegate>

#include <optional>
#include <string>
#include <vector>

#include "shell/session_sidebar_model.h"
#include "ui/theme.h"

namespace vask::ui {

// The sidebar's rows as a list model over what they show (sidebar::RowsShown): the awaiting row
// when it is there, the "Chats" heading, then the saved chats. A change moves, inserts and
// removes rows and changes the data of those that show something new, so the list keeps its
// current row, its selection and its scroll position; what shows the same is left alone.
class SessionRowsModel : public QAbstractListModel {
    Q_OBJECT
  public:
    enum class Kind { awaiting, heading, session };
    enum Role {
        kindRole = Qt::UserRole + 1,
        // The session's id, or awaitingTag for the awaiting row; nothing for the heading.
        selectionRole,
        previewRole,
        ageRole,
        // The awaiting row's count.
        countRole,
        // Whether the row is the one selected.
        selectedRole,
    };
    static constexpr const char* awaitingTag = "\x01awaiting";
    static constexpr const char* awaitingLabel = "Awaiting your reply";
    static constexpr const char* heading = "Chats";

    explicit SessionRowsModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Shows `rows`: nothing happens when they show the same as now.
    void show(sidebar::RowsShown rows);
    const sidebar::RowsShown& shown() const { return shown_; }
    // The row shown selected, if any.
    std::optional<int> selectedRow() const;

  private:
    struct Row {
        Kind kind = Kind::session;
        // What identifies the row across changes.
        std::string key;
        std::string title;
        std::string preview;
        std::string age;
        std::int64_t count = 0;
        bool selected = false;
        bool operator==(const Row&) const = default;
    };
    static std::vector<Row> rowsOf(const sidebar::RowsShown& shown);
    // Turns rows_ into `next` by moves, insertions and removals, then data changes.
    void moveTo(std::vector<Row> next);

    sidebar::RowsShown shown_;
    bool shownOnce_ = false;
    std::vector<Row> rows_;
};

// Paints the sidebar's rows from the model's data: a chat's title over its last message and
// age, the awaiting row's icon, label and count badge, the "Chats" heading. Texts that do not fit
// end in "…"; the age, the count and the awaiting label's icon are always whole.
class SessionRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
  public:
    // One text of a row, where and how it is drawn.
    struct Text {
        QString name;  // "title", "preview", "dot", "age", "label", "heading" or "count"
        QString text;
        QRect rect;
        QFont font;
        QColor colour;
        Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter;
        // A text in a right-to-left script runs right to left, so its "…" is at its cut end.
        Qt::LayoutDirection direction = Qt::LeftToRight;
    };
    // What one row draws, inside `rect`.
    struct Layout {
        std::vector<Text> texts;
        std::optional<QRect> icon;
        QColor iconColour;
        std::optional<QRect> badge;
        QColor badgeFill;
        const Text* text(const QString& name) const;
    };

    using QStyledItemDelegate::QStyledItemDelegate;

    // The row's parts for a row at `rect`, selected or not.
    static Layout layout(const QModelIndex& index, const QRect& rect, bool selected);
    // The narrowest row in which the awaiting row's label reads whole beside its icon and a
    // two-digit count.
    static int awaitingRowWidth();

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

}  // namespace vask::ui
