#include "ui/settings/settings_window.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include "foundation/structured_logger.h"
#include "memory/memory_settings_presentation.h"
#include "ui/keyboard.h"
#include "ui/memory/memory_settings_panel.h"
#include "ui/settings/account_settings_panel.h"
#include "ui/settings/billing_settings_panel.h"
#include "ui/settings/contacts_settings_panel.h"
#include "ui/settings/proactive_surfaces_panel.h"
#include "ui/window_fit.h"

namespace vask::ui {

SettingsWindow::SettingsWindow(Dependencies dependencies, QWidget* parent)
    : QWidget(parent), deps_(std::move(dependencies)) {
    setObjectName("settings");
    setWindowTitle("Vask Settings");
    // As tall as the screen allows, up to its own height: the form scrolls.
    fitToScreen(this, {width, height}, {width, minimumHeight}, {width, height});
    billingViewModel_ = deps_.makeBillingViewModel();

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    scroll_ = new QScrollArea;
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setFrameShape(QFrame::NoFrame);
    // The form's controls take the keyboard; the scroll area itself would be a Tab stop whose
    // focus is drawn outside the window.
    scroll_->setFocusPolicy(Qt::NoFocus);
    connect(scroll_->verticalScrollBar(), &QAbstractSlider::actionTriggered, this,
            [this] { keepFocusInView_ = false; });
    auto* form = new QWidget;
    form_ = form;
    form->installEventFilter(this);
    auto* column = new QVBoxLayout(form);
    column->setContentsMargins(Theme::padding + 4, Theme::padding + 4, Theme::padding + 4,
                               Theme::padding + 4);
    column->setSpacing(Theme::padding + 4);

    banner_ = styledText({}, FontRole::caption, errorRed(), true);
    banner_->setObjectName("settings-sign-out-error");
    column->addWidget(banner_);
    account_ = new AccountSettingsPanel([this] { signOut(); },
                                        [this] {
                                            if (deps_.openOnboarding) {
                                                deps_.openOnboarding();
                                            }
                                        },
                                        [this] { unlockKeyring(); }, [this] { askKeyringAgain(); });
    column->addWidget(account_);
    billing_ = new BillingSettingsPanel(billingViewModel_, deps_.catalogService, deps_.urlOpener,
                                        deps_.accountPage);
    column->addWidget(billing_);
    contacts_ = new ContactsSettingsPanel(deps_.contacts);
    column->addWidget(contacts_);
    memory_ = new MemorySettingsPanel(deps_.memory, deps_.navigation, deps_.memoryPrincipal,
                                      deps_.confirm);
    column->addWidget(memory_);
    std::function<void(bool)> switched;
    if (deps_.proactiveReaction.refresh) {
        switched = [reaction = settings::ProactiveSwitchReaction(deps_.proactiveReaction)](
                       bool on) { reaction.switched(on); };
    }
    proactive_ = new ProactiveSurfacesPanel(deps_.defaults, deps_.proactiveKeys, switched);
    column->addWidget(proactive_);
    column->addStretch();
    scroll_->setWidget(form);
    outer->addWidget(scroll_);

    subscriptions_.push_back(deps_.signIn->userEmail.subscribe([this](const auto&) { render(); },
                                                               Delivery::changesOnly));
    subscriptions_.push_back(
        deps_.signIn->state.subscribe([this](const auto&) { render(); }, Delivery::changesOnly));
    if (deps_.observeAuthMode) {
        subscriptions_.push_back(deps_.observeAuthMode([this] { render(); }));
    }
    // After the sections have redrawn (they subscribed first), the form takes its new height.
    const auto refit = [this](const auto&) {
        settleLayouts(form_);
        fitForm();
    };
    subscriptions_.push_back(billingViewModel_->state.subscribe(refit, Delivery::changesOnly));
    subscriptions_.push_back(
        deps_.contacts->authorizationState.subscribe(refit, Delivery::changesOnly));
    subscriptions_.push_back(deps_.contacts->lastError.subscribe(refit, Delivery::changesOnly));
    subscriptions_.push_back(deps_.memory->errorMessage.subscribe(refit, Delivery::changesOnly));
    render();
}

SettingsWindow::~SettingsWindow() = default;

bool SettingsWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == form_ && event->type() == QEvent::LayoutRequest) {
        fitForm();
    }
    return QWidget::eventFilter(watched, event);
}

void SettingsWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitForm();
    // A window made shorter (by the window manager, on a small screen) keeps its focused
    // control in view.
    showFocusedField();
}

// The scroll area's own resizing gives wrapped text too little height; the form is sized here to
// the height its rows need at the window's width.
void SettingsWindow::fitForm() {
    const int viewportWidth = scroll_->viewport()->width();
    QLayout* layout = form_->layout();
    layout->activate();
    const int needed = layout->hasHeightForWidth() ? layout->totalHeightForWidth(viewportWidth)
                                                   : layout->totalSizeHint().height();
    form_->resize(viewportWidth, std::max(needed, scroll_->viewport()->height()));
    orderFocus();
    if (keepFocusInView_) {
        showFocusedField();
    }
}

void SettingsWindow::orderFocus() {
    // The form's widgets in the order they were made, each section's in its rows' order: the
    // order they are read in.
    orderTabStops(form_);
}

void SettingsWindow::showEvent(QShowEvent* event) {
    render();
    QWidget::showEvent(event);
    settleLayouts(form_);
    // Never on Sign Out, which takes effect at once: Space there would sign out.
    focusFirstField(this);
    // It opens at the top of the form; where the first field lies below the part in view (a
    // short screen at a large scale, Contacts' Sync Now under the account), the form scrolls to
    // it, so that its ring and what Space would press are seen. Sections that fill in after the
    // opening (the plan, once the account is read) push it down: it is kept in view until the
    // user scrolls.
    keepFocusInView_ = true;
    scroll_->verticalScrollBar()->setValue(0);
    fitForm();
}

void SettingsWindow::showFocusedField() {
    QWidget* focused = focusWidget();
    if (focused == nullptr || focused == form_ || !form_->isAncestorOf(focused)) {
        return;
    }
    // With its section's heading above it, when the two fit.
    QWidget* section = focused;
    while (section->parentWidget() != form_) {
        section = section->parentWidget();
    }
    scrollIntoView(scroll_, section, focused);
    // Its ring, drawn around it, whole, with a little room below.
    QScrollBar* bar = scroll_->verticalScrollBar();
    const int below = focused->mapTo(form_, QPoint(0, focused->height())).y() + Theme::padding;
    if (below > bar->value() + scroll_->viewport()->height()) {
        bar->setValue(below - scroll_->viewport()->height());
    }
}

void SettingsWindow::render() {
    // A section that goes while it has the focus (the account, while a keyring that answered
    // has its e-mail read again) leaves the focus waiting on the form, and gets it back when it
    // returns: the toolkit would have moved it on to the next section's control (Contacts' Sync
    // Now, which a second press ran).
    const FocusKeeper::Rebuild keepsFocus(form_);
    const auto mode = deps_.authMode();
    // Signed out, an e-mail still remembered is no one's.
    const auto email = mode.isNone() ? std::nullopt : deps_.signIn->userEmail.get();
    const auto shown =
        settings::sections(mode, deps_.hasGoogleAuthService && deps_.hasGoogleAuthService(), email);
    const auto has = [&](settings::Section section) {
        return std::find(shown.begin(), shown.end(), section) != shown.end();
    };
    const bool accountShown = has(settings::Section::account);
    if (accountShown) {
        auto account = settings::account::present(mode, email, unlocking_);
        account.unlock = account.unlock && static_cast<bool>(deps_.unlockKeyring);
        account.tryAgain =
            account.tryAgain && !askingAgain_ && static_cast<bool>(deps_.askKeyringAgain);
        account_->present(account, signOutError_ ? signOutError_ : unlockError_);
        if (shownAccount_ != account.row) {
            shownAccount_ = account.row;
            StructuredLogger("settings")
                .info("settings_account_shown",
                      {{"account", std::string(settings::account::rowName(account.row))}});
        }
    }
    account_->setVisible(accountShown);
    billing_->setVisible(has(settings::Section::plan));
    // Memory is the account's: behind the keyring with it, and followed once the keyring answers.
    memory_->followKeyring(MemorySettingsPresentation::keyringHold(mode, unlocking_));
    // The message of a failed sign-out stays in view even when the account row has gone.
    banner_->setText(signOutError_.value_or(QString()));
    banner_->setVisible(signOutError_.has_value() && !accountShown);
    proactive_->render();
}

void SettingsWindow::signOut() {
    // The sign-out finishes later, from the worker: what follows it runs only while this
    // window still exists.
    const QPointer<SettingsWindow> self(this);
    settings::signOut({
                          .signOut =
                              [self, signIn = deps_.signIn](std::function<void()> done) {
                                  signIn->signOut([self, done = std::move(done)] {
                                      if (self) {
                                          done();
                                      }
                                  });
                              },
                          .state = [this] { return deps_.signIn->state.get(); },
                          .refreshCredentials = deps_.refreshChatCredentials,
                          .dismissSettings = [this] { close(); },
                          .resetOnboarding = deps_.resetOnboarding,
                          .closeMain = deps_.closeMain,
                          .openOnboarding = deps_.openOnboarding,
                      },
                      [this](const std::optional<std::string>& failure) {
                          signOutError_ =
                              failure ? std::optional<QString>(qs(*failure)) : std::nullopt;
                          render();
                      });
}

void SettingsWindow::unlockKeyring() {
    if (unlocking_ || !deps_.unlockKeyring) {
        return;
    }
    unlocking_ = true;
    unlockError_.reset();
    render();
    // The answer comes later, on the main executor: only while this window still exists.
    deps_.unlockKeyring(
        [self = QPointer<SettingsWindow>(this)](const std::optional<std::string>& failure) {
            if (!self) {
                return;
            }
            self->unlocking_ = false;
            self->unlockError_ = failure ? std::optional<QString>(qs(*failure)) : std::nullopt;
            self->render();
        });
}

void SettingsWindow::askKeyringAgain() {
    if (askingAgain_ || !deps_.askKeyringAgain) {
        return;
    }
    askingAgain_ = true;
    render();
    // What the keyring answers arrives with the mode (observeAuthMode); this ends the asking.
    deps_.askKeyringAgain([self = QPointer<SettingsWindow>(this)] {
        if (!self) {
            return;
        }
        self->askingAgain_ = false;
        self->render();
    });
}

void SettingsWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace vask::ui
