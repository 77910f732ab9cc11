#include "ui/main_window/session_rows.h"

#include <QApplication>
#include <QPainter>

#include <algorithm>
#include <unordered_set>

#include "ui/settings/form_parts.h"
#include "ui/symbols.h"

namespace vask::ui {

namespace {

constexpr const char* headingKey = "\x01heading";

// The direction a text runs in, from its first strong character.
Qt::LayoutDirection directionOf(const QString& text) {
    return text.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight;
}
constexpr const char* awaitingSymbol = "tray.and.arrow.down.fill";
// The chat rows' insets above and below, and between their two lines.
constexpr int sessionInset = 5;
constexpr int sessionLineGap = 2;
// The awaiting row's insets above and below.
constexpr int awaitingInset = 6;
constexpr int iconSize = 16;
// Between the last message, the dot and the age.
constexpr int previewGap = 4;
// The count badge's padding around its digits.
constexpr int badgeSidePadding = 6;
constexpr int badgeTopPadding = 1;
constexpr qreal focusRingWidth = 2;

QFont semibold(FontRole role) {
    QFont font = Theme::font(role);
    font.setWeight(QFont::DemiBold);
    return font;
}

SessionRowsModel::Kind kindOf(const QModelIndex& index) {
    return static_cast<SessionRowsModel::Kind>(index.data(SessionRowsModel::kindRole).toInt());
}

}  // namespace

// --- The model --------------------------------------------------------------------------------

SessionRowsModel::SessionRowsModel(QObject* parent) : QAbstractListModel(parent) {}

int SessionRowsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant SessionRowsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const Row& row = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole:
            return qs(row.title);
        case kindRole:
            return static_cast<int>(row.kind);
        case selectionRole:
            return row.kind == Kind::heading ? QString() : qs(row.key);
        case previewRole:
            return qs(row.preview);
        case ageRole:
            return qs(row.age);
        case countRole:
            return QVariant::fromValue<qint64>(row.count);
        case selectedRole:
            return row.selected;
        default:
            return {};
    }
}

Qt::ItemFlags SessionRowsModel::flags(const QModelIndex& index) const {
    if (!index.isValid() || kindOf(index) == Kind::heading) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

std::vector<SessionRowsModel::Row> SessionRowsModel::rowsOf(const sidebar::RowsShown& shown) {
    std::vector<Row> rows;
    rows.reserve(shown.sessions.size() + 2);
    if (shown.awaitingCount) {
        rows.push_back({.kind = Kind::awaiting,
                        .key = awaitingTag,
                        .title = awaitingLabel,
                        .preview = {},
                        .age = {},
                        .count = *shown.awaitingCount,
                        .selected = shown.awaitingSelected});
    }
    rows.push_back({.kind = Kind::heading,
                    .key = headingKey,
                    .title = heading,
                    .preview = {},
                    .age = {},
                    .count = 0,
                    .selected = false});
    for (const auto& session : shown.sessions) {
        rows.push_back({.kind = Kind::session,
                        .key = session.id,
                        .title = session.title,
                        .preview = session.preview,
                        .age = session.age,
                        .count = 0,
                        .selected = session.selected});
    }
    return rows;
}

void SessionRowsModel::show(sidebar::RowsShown rows) {
    if (shownOnce_ && rows == shown_) {
        return;
    }
    shownOnce_ = true;
    shown_ = std::move(rows);
    moveTo(rowsOf(shown_));
}

void SessionRowsModel::moveTo(std::vector<Row> next) {
    std::unordered_set<std::string> kept;
    for (const auto& row : next) {
        kept.insert(row.key);
    }
    // Rows that went, from the last up.
    for (auto i = static_cast<int>(rows_.size()) - 1; i >= 0; --i) {
        if (!kept.contains(rows_[static_cast<std::size_t>(i)].key)) {
            beginRemoveRows({}, i, i);
            rows_.erase(rows_.begin() + i);
            endRemoveRows();
        }
    }
    // In the new order: each row moved up from further down, or new.
    for (std::size_t i = 0; i < next.size(); ++i) {
        if (i < rows_.size() && rows_[i].key == next[i].key) {
            continue;
        }
        const auto at = static_cast<int>(i);
        const auto found =
            std::find_if(rows_.begin() + at, rows_.end(),
                         [&key = next[i].key](const Row& row) { return row.key == key; });
        if (found == rows_.end()) {
            beginInsertRows({}, at, at);
            rows_.insert(rows_.begin() + at, next[i]);
            endInsertRows();
            continue;
        }
        const auto from = static_cast<int>(found - rows_.begin());
        beginMoveRows({}, from, from, {}, at);
        Row moved = std::move(*found);
        rows_.erase(found);
        rows_.insert(rows_.begin() + at, std::move(moved));
        endMoveRows();
    }
    // What the rows show.
    for (std::size_t i = 0; i < next.size(); ++i) {
        if (!(rows_[i] == next[i])) {
            rows_[i] = std::move(next[i]);
            const QModelIndex changed = index(static_cast<int>(i));
            emit dataChanged(changed, changed);
        }
    }
}

std::optional<int> SessionRowsModel::selectedRow() const {
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].selected) {
            return static_cast<int>(i);
        }
    }
    return std::nullopt;
}

// --- The delegate -----------------------------------------------------------------------------

const SessionRowDelegate::Text* SessionRowDelegate::Layout::text(const QString& name) const {
    const auto found = std::find_if(texts.begin(), texts.end(),
                                    [&name](const Text& text) { return text.name == name; });
    return found == texts.end() ? nullptr : &*found;
}

int SessionRowDelegate::awaitingRowWidth() {
    const QFontMetrics body(Theme::font(FontRole::body));
    const QFontMetrics caption(semibold(FontRole::caption));
    return 2 * Theme::spacingSmall + iconSize + Theme::spacingSmall +
           body.horizontalAdvance(SessionRowsModel::awaitingLabel) + Theme::spacingSmall +
           caption.horizontalAdvance("99") + 2 * badgeSidePadding;
}

SessionRowDelegate::Layout SessionRowDelegate::layout(const QModelIndex& index, const QRect& rect,
                                                      bool selected) {
    Layout layout;
    // Highlighted whenever selected, active window or not: the list paints the selection in the
    // accent either way, and what is drawn on it must stay readable.
    const QColor ink = Shade(selected ? ThemeColour::onAccent : ThemeColour::ink).colour();
    const QColor secondary =
        Shade(selected ? ThemeColour::onAccent : ThemeColour::secondary).colour();
    const int left = rect.left() + Theme::spacingSmall;
    const int width = std::max(rect.width() - 2 * Theme::spacingSmall, 0);

    switch (kindOf(index)) {
        case SessionRowsModel::Kind::heading: {
            const QFont font = semibold(FontRole::caption);
            layout.texts.push_back({.name = "heading",
                                    .text = index.data(Qt::DisplayRole).toString(),
                                    .rect = QRect(left, rect.top(), width, rect.height()),
                                    .font = font,
                                    .colour = Shade(ThemeColour::secondary).colour()});
            break;
        }
        case SessionRowsModel::Kind::awaiting: {
            const int middle = rect.top() + rect.height() / 2;
            layout.icon = QRect(left, middle - iconSize / 2, iconSize, iconSize);
            layout.iconColour =
                Shade(selected ? ThemeColour::onAccent : ThemeColour::accent).colour();
            const QFont countFont = semibold(FontRole::caption);
            const QFontMetrics countMetrics(countFont);
            const QString count =
                QString::number(index.data(SessionRowsModel::countRole).toLongLong());
            const int badgeWidth = countMetrics.horizontalAdvance(count) + 2 * badgeSidePadding;
            const int badgeHeight = countMetrics.height() + 2 * badgeTopPadding;
            const QRect badge(left + width - badgeWidth, middle - badgeHeight / 2, badgeWidth,
                              badgeHeight);
            layout.badge = badge;
            // The badge's fill is the colour the row's text takes, and its digits the other.
            layout.badgeFill =
                Shade(selected ? ThemeColour::onAccent : ThemeColour::accent).colour();
            const QFont labelFont = Theme::font(FontRole::body);
            const int labelLeft = layout.icon->right() + 1 + Theme::spacingSmall;
            const int labelSpace = std::max(badge.left() - Theme::spacingSmall - labelLeft, 0);
            const QString label = QFontMetrics(labelFont).elidedText(
                index.data(Qt::DisplayRole).toString(), Qt::ElideRight, labelSpace);
            layout.texts.push_back({.name = "label",
                                    .text = label,
                                    .rect = QRect(labelLeft, rect.top(), labelSpace, rect.height()),
                                    .font = labelFont,
                                    .colour = ink});
            layout.texts.push_back(
                {.name = "count",
                 .text = count,
                 .rect = badge,
                 .font = countFont,
                 .colour = Shade(selected ? ThemeColour::accent : ThemeColour::onAccent).colour(),
                 .alignment = Qt::AlignCenter});
            break;
        }
        case SessionRowsModel::Kind::session: {
            const QFont titleFont = Theme::font(FontRole::body);
            const QFontMetrics titleMetrics(titleFont);
            int top = rect.top() + sessionInset;
            const QString title = index.data(Qt::DisplayRole).toString();
            layout.texts.push_back({.name = "title",
                                    .text = titleMetrics.elidedText(title, Qt::ElideRight, width),
                                    .rect = QRect(left, top, width, titleMetrics.height()),
                                    .font = titleFont,
                                    .colour = ink,
                                    .direction = directionOf(title)});
            top += titleMetrics.height() + sessionLineGap;
            const QFont lineFont = Theme::font(FontRole::subheadline);
            const QFontMetrics lineMetrics(lineFont);
            // The age keeps its whole width; the last message gets what is left.
            const QString age = index.data(SessionRowsModel::ageRole).toString();
            const int ageWidth = lineMetrics.horizontalAdvance(age);
            const QString preview = index.data(SessionRowsModel::previewRole).toString();
            // The second line's parts, left to right.
            int x = left;
            const auto place = [&](const char* name, const QString& text, int textWidth) {
                layout.texts.push_back({.name = name,
                                        .text = text,
                                        .rect = QRect(x, top, textWidth, lineMetrics.height()),
                                        .font = lineFont,
                                        .colour = secondary,
                                        .direction = directionOf(text)});
                x += textWidth + previewGap;
            };
            if (!preview.isEmpty()) {
                const QString dot = QStringLiteral("\u00b7");
                const int dotWidth = lineMetrics.horizontalAdvance(dot);
                const int space = sidebar::textSpace(width, {ageWidth, dotWidth, 2 * previewGap});
                const QString shown = lineMetrics.elidedText(preview, Qt::ElideRight, space);
                place("preview", shown, std::min(lineMetrics.horizontalAdvance(shown), space));
                place("dot", dot, dotWidth);
            }
            place("age", age, ageWidth);
            break;
        }
    }
    return layout;
}

void SessionRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    if (kindOf(index) != SessionRowsModel::Kind::heading) {
        // The style's row: its selection, hover and keyboard focus, without its text.
        QStyleOptionViewItem row(option);
        initStyleOption(&row, index);
        row.text.clear();
        row.features &= ~QStyleOptionViewItem::HasDisplay;
        const QStyle* style = row.widget ? row.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &row, painter, row.widget);
    }
    const Layout parts = layout(index, option.rect, selected);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    if (parts.icon) {
        symbolIcon(awaitingSymbol, selected ? ThemeColour::onAccent : ThemeColour::accent, false)
            .paint(painter, *parts.icon);
    }
    if (parts.badge) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(parts.badgeFill);
        const qreal radius = std::min(8.0, parts.badge->height() / 2.0);
        painter->drawRoundedRect(QRectF(*parts.badge), radius, radius);
    }
    for (const auto& text : parts.texts) {
        painter->setFont(text.font);
        painter->setPen(text.colour);
        // Its own direction, and the row's side: a short right-to-left title starts at the left
        // like every other.
        painter->setLayoutDirection(text.direction);
        painter->drawText(text.rect, static_cast<int>(text.alignment | Qt::AlignAbsolute),
                          text.text);
    }
    // The keyboard's row, plain to see on the selection or off it.
    if (option.state.testFlag(QStyle::State_HasFocus)) {
        QPen ring(Shade(selected ? ThemeColour::onAccent : ThemeColour::accent).colour(),
                  focusRingWidth);
        painter->setPen(ring);
        painter->setBrush(Qt::NoBrush);
        const qreal inset = focusRingWidth;
        painter->drawRoundedRect(QRectF(option.rect).adjusted(inset, inset, -inset, -inset), 3, 3);
    }
    painter->restore();
}

QSize SessionRowDelegate::sizeHint(const QStyleOptionViewItem& option,
                                   const QModelIndex& index) const {
    const int body = QFontMetrics(Theme::font(FontRole::body)).height();
    int height = 0;
    switch (kindOf(index)) {
        case SessionRowsModel::Kind::heading:
            height = QFontMetrics(semibold(FontRole::caption)).height() + Theme::spacingSmall;
            break;
        case SessionRowsModel::Kind::awaiting: {
            const int badge =
                QFontMetrics(semibold(FontRole::caption)).height() + 2 * badgeTopPadding;
            height = 2 * awaitingInset + std::max({iconSize, body, badge});
            break;
        }
        case SessionRowsModel::Kind::session:
            height = 2 * sessionInset + body + sessionLineGap +
                     QFontMetrics(Theme::font(FontRole::subheadline)).height();
            break;
    }
    return {option.rect.width(), height};
}

}  // namespace vask::ui
