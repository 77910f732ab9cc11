#include "ui/memory/memory_manager_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "memory/memory_settings_presentation.h"
#include "shell/observe_all.h"
#include "ui/keyboard.h"
#include "ui/memory/memory_edit_view.h"
#include "ui/window_fit.h"

namespace vask::ui {

namespace presentation = MemorySettingsPresentation;

namespace {

QWidget* centred(std::initializer_list<QWidget*> widgets) {
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    // No margin above and below: on a short screen the stretches give up their room first.
    column->setContentsMargins(Theme::padding, 0, Theme::padding, 0);
    column->addStretch();
    for (auto* widget : widgets) {
        // A sentence that wraps takes the page's width, its lines centred: given only the width
        // it would like, it would run past a narrow window's edge.
        auto* sentence = qobject_cast<QLabel*>(widget);
        if (sentence != nullptr && sentence->wordWrap()) {
            sentence->setAlignment(Qt::AlignHCenter);
            column->addWidget(widget);
        } else {
            column->addWidget(widget, 0, Qt::AlignHCenter);
        }
    }
    column->addStretch();
    return page;
}

constexpr Extent managerPreferred{620, 480};
constexpr Extent managerMinimum{620, 300};
constexpr Extent managerMaximum{620, 480};

}  // namespace

MemoryManagerView::MemoryManagerView(std::shared_ptr<MemorySettingsViewModel> viewModel,
                                     Confirm confirm, QWidget* parent)
    : QDialog(parent), viewModel_(std::move(viewModel)), confirm_(std::move(confirm)) {
    setWindowTitle("Private Memory");
    fitToScreen(this, managerPreferred, managerMinimum, managerMaximum);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(Theme::padding, Theme::padding, Theme::padding, Theme::padding);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    auto* title = styledText("Private Memory", FontRole::headline, ThemeColour::ink);
    QFont semibold = title->font();
    semibold.setWeight(QFont::DemiBold);
    title->setFont(semibold);
    titles->addWidget(title);
    // Its sentences wrap: a small screen at a large scale (1024x600 at twice the scale) gives the
    // window less than the width it would like.
    titles->addWidget(styledText("Review or change associations Vask can use in later chats.",
                                 FontRole::callout, ThemeColour::secondary, true));
    header->addLayout(titles, 1);
    Theme::useBrandButtons(this);
    auto* done = new QPushButton("Done");
    done->setObjectName("memory-done-button");
    done->setAccessibleName("Done");
    // Prominent, yet no default: Return closes the window only on Done itself, never from the
    // list or a row's button.
    done->setAutoDefault(false);
    done->setProperty("prominent", true);
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    header->addWidget(done, 0, Qt::AlignVCenter);
    column->addLayout(header);
    column->addWidget(divider());

    content_ = new QStackedWidget;
    content_->setObjectName("memory-content");
    // Forget All done, the emptied list holds the focus (see forgetAll()).
    setStandsInFor(content_, {"forget-all-memory-button"});
    auto* spinner = new QProgressBar;
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setFixedSize(120, 6);
    content_->addWidget(centred(
        {spinner, styledText("Loading memory\u2026", FontRole::body, ThemeColour::secondary)}));
    auto* emptyTitle = styledText("No Saved Associations", FontRole::headline, ThemeColour::ink);
    content_->addWidget(
        centred({symbolLabel("brain.head.profile", ThemeColour::secondary, 40), emptyTitle,
                 styledText("Ask Vask to remember something and it will appear here.",
                            FontRole::body, ThemeColour::secondary, true)}));
    auto* scroll = new QScrollArea;
    scroll->setObjectName("memory-list");
    scroll->setAccessibleName("Saved associations");
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* list = new QWidget;
    rows_ = new QVBoxLayout(list);
    rows_->setContentsMargins(Theme::padding, Theme::spacingSmall, Theme::padding,
                              Theme::spacingSmall);
    scroll->setWidget(list);
    content_->addWidget(scroll);
    column->addWidget(content_, 1);
    // Tab goes as the window reads: Done, the list and its rows' buttons, then Forget All.
    keepTabStopsInReadingOrder(this, list);
    column->addWidget(divider());

    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(Theme::padding, Theme::spacing, Theme::padding, Theme::spacing);
    forgetAll_ = smallButton("Forget All\u2026", "forget-all-memory-button");
    setTextColour(forgetAll_, errorRed());
    connect(forgetAll_, &QPushButton::clicked, this, &MemoryManagerView::forgetAll);
    // No button here is the dialog's default, even once focused: Return presses only the button
    // that has the focus, never one passed on the way to the list.
    forgetAll_->setAutoDefault(false);
    footer->addWidget(forgetAll_);
    footer->addStretch();
    error_ = styledText({}, FontRole::caption, errorRed());
    footer->addWidget(error_);
    auto* busy = new QProgressBar;
    busy->setRange(0, 0);
    busy->setTextVisible(false);
    busy->setFixedSize(40, 6);
    busy_ = busy;
    footer->addWidget(busy_);
    column->addLayout(footer);

    subscriptions_.push_back(observeAll([this] { render(); }, viewModel_->associations,
                                        viewModel_->isLoading, viewModel_->errorMessage));
    render();
}

void MemoryManagerView::fitToArea(Extent available) {
    ui::fitToArea(this, managerPreferred, managerMinimum, managerMaximum, available);
}

void MemoryManagerView::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    viewModel_->resetForPrincipalChange();
    if (!viewModel_->isAvailable()) {
        viewModel_->associations.set({});
        viewModel_->errorMessage.set(std::nullopt);
        return;
    }
    viewModel_->load();
}

void MemoryManagerView::render() {
    const auto& associations = viewModel_->associations.get();
    const bool loading = viewModel_->isLoading.get();
    // A control pressed in the list (Edit, Forget) keeps the focus once the rows are rebuilt;
    // while it cannot take it (the change being saved), or once its row went, the focus waits
    // on the list (or the empty page it gave way to): never on Done, whose Return would close
    // the window.
    const FocusKeeper::Rebuild keepsFocus(content_);
    switch (presentation::managerContent(loading, associations.empty())) {
        case presentation::ManagerContent::loading:
            content_->setCurrentIndex(0);
            break;
        case presentation::ManagerContent::empty:
            content_->setCurrentIndex(1);
            break;
        case presentation::ManagerContent::list:
            content_->setCurrentIndex(2);
            break;
    }
    clearLayout(rows_);
    for (const auto& association : associations) {
        rows_->addWidget(makeRow(association, loading));
    }
    rows_->addStretch();
    forgetAll_->setEnabled(presentation::forgetAllEnabled(loading, associations.empty()));
    const auto& error = viewModel_->errorMessage.get();
    error_->setText(error ? qs(*error) : QString());
    error_->setVisible(error.has_value());
    busy_->setVisible(loading);
}

QWidget* MemoryManagerView::makeRow(const MemoryAssociation& association, bool busy) {
    auto* row = new QWidget;
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 3, 0, 3);
    line->setSpacing(12);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(3);
    auto* top = new QHBoxLayout;
    top->setSpacing(6);
    auto* term = styledText(qs(association.term), FontRole::body, ThemeColour::ink);
    QFont medium = term->font();
    medium.setWeight(QFont::Medium);
    term->setFont(medium);
    term->setTextInteractionFlags(Qt::TextSelectableByMouse);
    top->addWidget(term);
    auto* badge = new Badge(qs(presentation::badge(association.provenance)), ThemeColour::secondary,
                            Shade(ThemeColour::secondary, 0.12), QMargins(5, 2, 5, 2));
    badge->setFont(medium);
    top->addWidget(badge);
    top->addStretch();
    texts->addLayout(top);
    auto* definition =
        styledText(qs(association.definition), FontRole::callout, ThemeColour::secondary, true);
    definition->setTextInteractionFlags(Qt::TextSelectableByMouse);
    texts->addWidget(definition);
    line->addLayout(texts, 1);

    auto* edit = smallButton("Edit", qs(presentation::editIdentifier(association.id)));
    edit->setAutoDefault(false);
    edit->setEnabled(!busy);
    connect(edit, &QPushButton::clicked, this, [this, association] { this->edit(association); });
    line->addWidget(edit, 0, Qt::AlignTop);
    auto* forget = smallButton("Forget", qs(presentation::forgetIdentifier(association.id)));
    setTextColour(forget, errorRed());
    forget->setAutoDefault(false);
    forget->setEnabled(!busy);
    connect(forget, &QPushButton::clicked, this,
            [this, association] { this->forget(association); });
    line->addWidget(forget, 0, Qt::AlignTop);
    return row;
}

void MemoryManagerView::edit(const MemoryAssociation& association) {
    if (editing_) {
        editing_->deleteLater();
    }
    const auto id = association.id;
    QPointer<MemoryManagerView> self(this);
    editing_ = new MemoryEditView(
        association,
        [viewModel = viewModel_, id, self](const std::string& term, const std::string& definition,
                                           std::function<void(bool)> done) {
            viewModel->update(id, term, definition, [self, done](bool saved) {
                if (saved && self && self->editing_) {
                    self->editing_->accept();
                }
                done(saved);
            });
        },
        this);
    editing_->setAttribute(Qt::WA_DeleteOnClose);
    editing_->open();
}

void MemoryManagerView::forget(const MemoryAssociation& association) {
    const bool confirmed = confirm_(
        this, {"Forget this association?", "Vask will stop using this association in future chats.",
               "Forget", "confirm-forget-memory"});
    if (confirmed) {
        viewModel_->forget(association.id);
    }
}

void MemoryManagerView::forgetAll() {
    const bool confirmed =
        confirm_(this, {"Forget all saved associations?", presentation::forgetAllMessage,
                        "Forget All", "confirm-forget-all-memory"});
    if (confirmed) {
        // Forget All is disabled at once: the list takes the focus before the toolkit would
        // hand it on to the next control, Done.
        if (focusWidget() == forgetAll_) {
            content_->setFocus(Qt::OtherFocusReason);
        }
        viewModel_->forgetAll();
    }
}

}  // namespace vask::ui
