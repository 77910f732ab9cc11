#pragma once

#include <QWidget>

#include <functional>
#include <vector>

#include "memory/memory_receipt.h"
#include "platform/uuid.h"

namespace vask::ui {

// The memory changes of one answer: its automatic saves first (one row, or a group that opens
// when two or more), each committed one with "Undo" and all with "View in Settings", then one
// status row per other change. The rows change nothing: undo goes to the bubble's callback and
// the receipt comes back with its new status.
class MemoryReceiptRows : public QWidget {
    Q_OBJECT
  public:
    struct Actions {
        std::function<void(const Uuid&)> undo;
        std::function<void()> viewInSettings;
        // The group was opened or closed; the owner keeps `autoSavesExpanded`.
        std::function<void()> toggleAutoSaves;
    };

    MemoryReceiptRows(const std::vector<MemoryReceipt>& receipts, bool autoSavesExpanded,
                      Actions actions, QWidget* parent = nullptr);

  private:
    QWidget* otherRow(const MemoryReceipt& receipt);
    QWidget* autoSaveRow(const MemoryReceipt& receipt);
    QWidget* autoSaveGroup(const std::vector<MemoryReceipt>& receipts, bool expanded);
    QWidget* action(const QString& title, std::function<void()> run);
    // Undo of one receipt.
    QWidget* undoAction(const Uuid& id);

    Actions actions_;
};

}  // namespace vask::ui
