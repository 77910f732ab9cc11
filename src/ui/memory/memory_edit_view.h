#pragma once

#include <QDialog>

#include <functional>

#include "memory/memory_association.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace vask::ui {

// The edit sheet of one association. Save stays disabled while the texts break the memory rules
// or a save runs; it never closes itself: the manager closes it once a save succeeded.
class MemoryEditView : public QDialog {
    Q_OBJECT
  public:
    // Passes the texts as typed; `done` receives whether the change was saved.
    using Save = std::function<void(const std::string& term, const std::string& definition,
                                    std::function<void(bool saved)> done)>;

    MemoryEditView(const MemoryAssociation& association, Save onSave, QWidget* parent = nullptr);

    bool isSaving() const { return isSaving_; }
    void save();

  private:
    void render();

    Save onSave_;
    bool isSaving_ = false;
    bool showsStorageError_ = false;
    QLineEdit* term_ = nullptr;
    QPlainTextEdit* definition_ = nullptr;
    QLabel* error_ = nullptr;
    QPushButton* save_ = nullptr;
};

}  // namespace vask::ui
