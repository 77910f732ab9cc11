#include "ui/memory/memory_edit_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "memory/memory_settings_presentation.h"
#include "memory/memory_settings_view_model.h"
#include "ui/settings/form_parts.h"

namespace vask::ui {

MemoryEditView::MemoryEditView(const MemoryAssociation& association, Save onSave, QWidget* parent)
    : QDialog(parent), onSave_(std::move(onSave)) {
    setWindowTitle("Edit Association");
    setFixedWidth(440);
    auto* column = new QVBoxLayout(this);
    column->setSpacing(16);
    auto* title = styledText("Edit Association", FontRole::headline, ThemeColour::ink);
    QFont semibold = title->font();
    semibold.setWeight(QFont::DemiBold);
    title->setFont(semibold);
    column->addWidget(title);

    term_ = new QLineEdit(qs(association.term));
    term_->setPlaceholderText("Term");
    term_->setObjectName("memory-term-field");
    term_->setAccessibleName("Term");
    column->addWidget(term_);

    definition_ = new QPlainTextEdit(qs(association.definition));
    definition_->setPlaceholderText("Definition");
    definition_->setObjectName("memory-definition-field");
    definition_->setAccessibleName("Definition");
    definition_->setTabChangesFocus(true);
    const int line = definition_->fontMetrics().lineSpacing();
    definition_->setMinimumHeight(line * 3 + 12);
    definition_->setMaximumHeight(line * 6 + 12);
    column->addWidget(definition_);

    error_ = styledText(MemorySettingsViewModel::updateFailedText, FontRole::caption, errorRed());
    column->addWidget(error_);

    Theme::useBrandButtons(this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* cancel = new QPushButton("Cancel");
    cancel->setAccessibleName("Cancel");
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    buttons->addWidget(cancel);
    save_ = new QPushButton("Save");
    save_->setObjectName("save-memory-edit-button");
    save_->setAccessibleName("Save");
    save_->setDefault(true);
    save_->setProperty("prominent", true);
    connect(save_, &QPushButton::clicked, this, &MemoryEditView::save);
    buttons->addWidget(save_);
    column->addLayout(buttons);

    connect(term_, &QLineEdit::textChanged, this, &MemoryEditView::render);
    connect(definition_, &QPlainTextEdit::textChanged, this, &MemoryEditView::render);
    render();
}

void MemoryEditView::render() {
    save_->setEnabled(!isSaving_ &&
                      MemorySettingsPresentation::hasValidContent(
                          term_->text().toStdString(), definition_->toPlainText().toStdString()));
    error_->setVisible(showsStorageError_);
}

void MemoryEditView::save() {
    if (!save_->isEnabled()) {
        return;
    }
    isSaving_ = true;
    showsStorageError_ = false;
    render();
    QPointer<MemoryEditView> self(this);
    onSave_(term_->text().toStdString(), definition_->toPlainText().toStdString(),
            [self](bool saved) {
                // The save finishes even when the sheet has gone meanwhile.
                if (!self) {
                    return;
                }
                self->isSaving_ = false;
                self->showsStorageError_ = !saved;
                self->render();
            });
}

}  // namespace vask::ui
