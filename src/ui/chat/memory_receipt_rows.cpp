#include "ui/chat/memory_receipt_rows.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "chat/chat_presenters.h"
#include "ui/chat/chat_style.h"
#include "ui/keyboard.h"

namespace vask::ui {

using namespace chat_style;
namespace cp = chat_presentation;

namespace {

QHBoxLayout* row(QWidget* owner, int spacing) {
    auto* layout = new QHBoxLayout(owner);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

QLabel* detailLabel(const std::string& detail, Tone tone) {
    auto* label = elidingLabel(qt(detail), textFont(FontRole::callout), tone);
    label->setObjectName("memoryReceiptDetail");
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

}  // namespace

MemoryReceiptRows::MemoryReceiptRows(const std::vector<MemoryReceipt>& receipts,
                                     bool autoSavesExpanded, Actions actions, QWidget* parent)
    : QWidget(parent), actions_(std::move(actions)) {
    setObjectName("memoryReceipts");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    const auto groups = cp::groupReceipts(receipts);
    if (groups.autoSaves.size() == 1) {
        column->addWidget(autoSaveRow(groups.autoSaves.front()));
    } else if (groups.autoSaves.size() > 1) {
        column->addWidget(autoSaveGroup(groups.autoSaves, autoSavesExpanded));
    }
    for (const auto& receipt : groups.others) {
        column->addWidget(otherRow(receipt));
    }
}

QWidget* MemoryReceiptRows::action(const QString& title, std::function<void()> run) {
    auto* button = textButton(title, textFont(FontRole::caption, QFont::Medium), Tone::accent);
    button->setObjectName(title == "Undo" ? "memoryReceiptUndo" : "memoryReceiptViewInSettings");
    button->setAccessibleName(title);
    connect(button, &QPushButton::clicked, this, [run = std::move(run)] {
        if (run) {
            run();
        }
    });
    return button;
}

QWidget* MemoryReceiptRows::undoAction(const Uuid& id) {
    auto* undo = action("Undo", [this, id] { actions_.undo(id); });
    // Known by its receipt across redraws: the focus never lands on another receipt's Undo.
    setFocusKey(undo, "memoryReceiptUndo/" + qt(id.lowercaseString()));
    return undo;
}

QWidget* MemoryReceiptRows::otherRow(const MemoryReceipt& receipt) {
    const Tone tone =
        receipt.status == MemoryReceiptStatus::failed ? Tone::orange : Tone::secondary;
    auto* widget = new QWidget;
    widget->setObjectName("memoryReceiptRow");
    auto* layout = row(widget, 6);
    layout->addWidget(symbolLabel(qt(cp::statusSymbol(receipt.status)), tone, 14));
    layout->addWidget(
        textLabel(qt(receipt.label()), textFont(FontRole::callout, QFont::Medium), tone));
    if (const auto detail = receipt.detail()) {
        layout->addWidget(textLabel("\xC2\xB7", textFont(FontRole::callout), Tone::tertiary));
        layout->addWidget(detailLabel(*detail, tone), 1);
    } else {
        layout->addStretch();
    }
    widget->setToolTip(qt(cp::receiptRowTooltip(receipt.status)));
    widget->setAccessibleName(qt(cp::receiptRowAccessibleName(receipt)));
    return widget;
}

QWidget* MemoryReceiptRows::autoSaveRow(const MemoryReceipt& receipt) {
    auto* widget = new QWidget;
    widget->setObjectName("autoSaveReceiptRow");
    auto* layout = row(widget, 6);
    layout->addWidget(symbolLabel(qt(cp::statusSymbol(receipt.status)), Tone::secondary, 14));
    layout->addWidget(textLabel(qt(cp::autoSaveRowLabel(receipt.status)),
                                textFont(FontRole::callout, QFont::Medium), Tone::secondary));
    if (const auto detail = receipt.detail()) {
        layout->addWidget(detailLabel(*detail, Tone::secondary), 1);
    }
    if (receipt.status == MemoryReceiptStatus::committed) {
        layout->addWidget(undoAction(receipt.id));
    }
    layout->addWidget(action("View in Settings", actions_.viewInSettings));
    if (!receipt.detail()) {
        layout->addStretch();
    }
    widget->setToolTip(qt(cp::autoSaveRowTooltip(receipt.status)));
    return widget;
}

QWidget* MemoryReceiptRows::autoSaveGroup(const std::vector<MemoryReceipt>& receipts,
                                          bool expanded) {
    auto* group = new QWidget;
    group->setObjectName("autoSaveReceiptGroup");
    auto* column = new QVBoxLayout(group);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);

    auto* header = new QWidget;
    auto* headerRow = row(header, 6);
    auto* toggle = new RowButton(5);
    toggle->setObjectName("autoSaveGroupToggle");
    const QString label = qt(AutoSaveReceiptGroupPresentation::label(receipts));
    toggle->setAccessibleName(label);
    toggle->add(symbolLabel(qt(AutoSaveReceiptGroupPresentation::symbolName(receipts)),
                            Tone::secondary, 14));
    toggle->add(textLabel(label, textFont(FontRole::callout, QFont::Medium), Tone::secondary));
    toggle->add(symbolLabel(expanded ? "chevron.down" : "chevron.right", Tone::secondary, 10));
    connect(toggle, &QPushButton::clicked, this, [this] {
        if (actions_.toggleAutoSaves) {
            actions_.toggleAutoSaves();
        }
    });
    headerRow->addWidget(toggle);
    headerRow->addWidget(action("View in Settings", actions_.viewInSettings));
    headerRow->addStretch();
    column->addWidget(header);

    if (expanded) {
        for (const auto& receipt : receipts) {
            auto* entry = new QWidget;
            entry->setObjectName("autoSaveGroupEntry");
            auto* entryRow = row(entry, 6);
            entryRow->setContentsMargins(20, 0, 0, 0);
            if (const auto detail = receipt.detail()) {
                entryRow->addWidget(detailLabel(*detail, Tone::secondary), 1);
            }
            if (receipt.status == MemoryReceiptStatus::committed) {
                entryRow->addWidget(undoAction(receipt.id));
            } else {
                entryRow->addWidget(
                    textLabel("Undone", textFont(FontRole::caption), Tone::tertiary));
            }
            if (!receipt.detail()) {
                entryRow->addStretch();
            }
            column->addWidget(entry);
        }
    }
    return group;
}

}  // namespace vask::ui
