#include "ui/onboarding/onboarding_view.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "ui/keyboard.h"
#include "ui/onboarding/onboarding_controls.h"
#include "ui/settings/form_parts.h"
#include "ui/symbols.h"
#include "ui/theme.h"
#include "ui/window_fit.h"

namespace vask::ui {

namespace {

QLabel* centredText(const QString& content, const QFont& font, const Shade& colour) {
    auto* label = new QLabel(content);
    label->setFont(font);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    setTextColour(label, colour);
    return label;
}

}  // namespace

OnboardingView::OnboardingView(std::shared_ptr<OnboardingStepsModel> model, QWidget* parent)
    : QWidget(parent), model_(std::move(model)) {
    setWindowTitle("Welcome to Vask");
    fitToScreen(this, {defaultWidth, defaultHeight}, {560, 640});
    leastHeight_ = minimumHeight();
    setAutoFillBackground(true);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto* contentHolder = new QWidget;
    contentHolder->setObjectName("onboarding.content");
    content_ = new QVBoxLayout(contentHolder);
    // Room above the page's picture and below its last line when the window is no taller than
    // the page needs.
    content_->setContentsMargins(48, 20, 48, 12);
    // On a screen too short for the page (a large scale on a small screen) the page scrolls
    // above the footer instead of being squeezed; it is sized in fitHeight().
    scroll_ = new QScrollArea;
    scroll_->setObjectName("onboarding.scroll");
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setFocusPolicy(Qt::NoFocus);
    scroll_->setWidget(contentHolder);
    scroll_->viewport()->setAutoFillBackground(false);
    contentHolder->setAutoFillBackground(false);
    contentHolder->installEventFilter(this);
    scroll_->viewport()->installEventFilter(this);
    column->addWidget(scroll_, 1);
    auto* line = divider();
    column->addWidget(line);
    footer_ = makeFooter();
    column->addWidget(footer_);
    footerHeight_ = line->height() + footer_->sizeHint().height();

    subscriptions_.push_back(
        model_->revision.subscribe([this](auto) { render(); }, Delivery::changesOnly));
    subscriptions_.push_back(
        model_->step.subscribe([this](auto) { render(); }, Delivery::changesOnly));
    render();
}

OnboardingView::~OnboardingView() = default;

void OnboardingView::fitToArea(Extent available) {
    area_ = available;
    setMinimumSize(0, 0);
    ui::fitToArea(this, {defaultWidth, defaultHeight}, {560, 640}, noLimit, available);
    leastHeight_ = minimumHeight();
    fitHeight();
}

QWidget* OnboardingView::makeFooter() {
    auto* footer = new QWidget;
    footer->setObjectName("onboarding.footer");
    auto* row = new QHBoxLayout(footer);
    row->setContentsMargins(24, 16, 24, 16);

    skip_ = new QPushButton("Skip");
    skip_->setObjectName("onboarding.skip");
    skip_->setAccessibleName("Skip");
    skip_->setFlat(true);
    skip_->setFont(Theme::font(FontRole::callout));
    skip_->setCursor(Qt::PointingHandCursor);
    setPaletteColour(skip_, QPalette::ButtonText, ThemeColour::secondary);
    connect(skip_, &QPushButton::clicked, this, [this] { model_->advance(); });
    row->addWidget(skip_);

    // "&&": a lone ampersand would mark a shortcut letter.
    relaunch_ = new QPushButton("Quit && Reopen");
    relaunch_->setObjectName("onboarding.relaunch");
    relaunch_->setAccessibleName("Quit & Reopen");
    relaunch_->setToolTip(OnboardingStepsModel::relaunchToolTip);
    relaunch_->setCursor(Qt::PointingHandCursor);
    relaunch_->setFont(Theme::font(FontRole::callout));
    Theme::useBrandButtons(relaunch_);
    connect(relaunch_, &QPushButton::clicked, this, [this] { model_->relaunch(); });
    row->addWidget(relaunch_);

    row->addStretch();
    dots_ = new StepDots(OnboardingStepsModel::stepCount, 0);
    row->addWidget(dots_);
    row->addStretch();

    primary_ = new OnboardingPrimaryButton;
    connect(primary_, &QPushButton::clicked, this, [this] { model_->primaryAction(); });
    // Skip opens the next page, whose button takes the focus (a page opened by the keyboard
    // goes on by the keyboard).
    setStandsInFor(primary_, {"onboarding.skip"});
    row->addWidget(primary_);
    // Steps without a primary button keep the footer's height, so the page does not jump.
    footer->setMinimumHeight(primary_->sizeHint().height() + 32);
    return footer;
}

void OnboardingView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!model_->appear()) {
        // Not wanted now (finished, or opened again after finishing): go away at once.
        QTimer::singleShot(0, this, &QWidget::close);
        return;
    }
    render();
}

bool OnboardingView::eventFilter(QObject* watched, QEvent* event) {
    // The page asked for a new layout (a line added, a page built), or its room changed.
    if ((watched == scroll_->widget() && event->type() == QEvent::LayoutRequest) ||
        (watched == scroll_->viewport() && event->type() == QEvent::Resize)) {
        fitHeight();
    }
    return QWidget::eventFilter(watched, event);
}

void OnboardingView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitHeight();
}

void OnboardingView::fitHeight() {
    // The page as tall as its lines need at the width it has (a scroll area's own sizing gives
    // wrapped text too little height), and never shorter than the room.
    QWidget* page = scroll_->widget();
    QLayout* lines = page->layout();
    lines->activate();
    const int width = scroll_->viewport()->width();
    const int needed = lines->hasHeightForWidth() ? lines->totalHeightForWidth(width)
                                                  : lines->totalSizeHint().height();
    page->resize(width, std::max(needed, scroll_->viewport()->height()));
    // The window as tall as the page and the footer need, as far as the screen allows.
    const int wanted = needed + footerHeight_;
    const QScreen* shownOn = screen();
    const int most = area_              ? roomOn(*area_).height
                     : shownOn != nullptr ? shownOn->availableGeometry().height() -
                                                windowDecoration.height
                                          : wanted;
    const int least = std::max(leastHeight_, std::min(wanted, most));
    if (least != minimumHeight()) {
        setMinimumHeight(least);
    }
}

void OnboardingView::render() {
    if (pageStep_ != model_->step.get()) {
        buildPage();
        // A page opens at its top, its heading in view: never at where the last one was
        // scrolled to.
        scroll_->verticalScrollBar()->setValue(0);
        // A page opened by Return goes on by Return: its button takes the focus, now or once
        // the page has one.
        primaryWanted_ = true;
    }
    subtitle_->setText(qs(model_->page().subtitle));
    renderExtra();
    renderFooter();
    if (primaryWanted_ && primary_->isVisibleTo(this) && primary_->isEnabled()) {
        primaryWanted_ = false;
        primary_->setFocus(Qt::OtherFocusReason);
    }
}

void OnboardingView::buildPage() {
    if (page_) {
        // The click that changed the step may still be running inside the old page.
        page_->hide();
        content_->removeWidget(page_);
        page_->deleteLater();
    }
    signInStatus_ = nullptr;
    differentAccount_ = nullptr;
    signInLinkRow_ = nullptr;
    signInLink_ = nullptr;
    hint_ = nullptr;
    contactsStatus_ = nullptr;
    indexingBar_ = nullptr;
    indexingLines_ = nullptr;
    retentionHolder_ = nullptr;
    shownRetention_.reset();

    const OnboardingStep step = model_->step.get();
    pageStep_ = step;
    page_ = stepBody(model_->page(), makeExtra(step));
    page_->setObjectName(QString("onboarding.page.%1").arg(static_cast<int>(step)));
    content_->addWidget(page_);
    // Shown now rather than on the next turn of the event loop, so the new step is on screen
    // as soon as it is chosen.
    if (isVisible()) {
        page_->show();
    }
    orderFocus();
}

QWidget* OnboardingView::stepBody(const OnboardingStepsModel::Page& page, QWidget* extra) {
    auto* body = new QWidget;
    auto* column = new QVBoxLayout(body);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(20);
    column->addStretch();

    if (page.useAppIcon) {
        column->addWidget(new AppIconView(160), 0, Qt::AlignHCenter);
    } else {
        auto* picture = new QLabel;
        picture->setObjectName("onboarding.symbol");
        setSymbol(picture, qs(page.icon), ThemeColour::accent, 56);
        picture->setAlignment(Qt::AlignCenter);
        column->addWidget(picture, 0, Qt::AlignHCenter);
    }

    QFont titleFont = Theme::font(FontRole::body);
    titleFont.setPointSizeF(26);
    titleFont.setWeight(QFont::DemiBold);
    auto* title = centredText(qs(page.title), titleFont, ThemeColour::ink);
    title->setObjectName("onboarding.title");
    column->addWidget(title);

    subtitle_ = centredText(qs(page.subtitle), Theme::font(FontRole::body), ThemeColour::secondary);
    subtitle_->setObjectName("onboarding.subtitle");
    subtitle_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(widthLimited(subtitle_, 440));

    if (extra) {
        column->addWidget(extra);
    }
    column->addStretch();
    return body;
}

QWidget* OnboardingView::makeExtra(OnboardingStep step) {
    switch (step) {
        case OnboardingStep::welcome:
            return nullptr;
        case OnboardingStep::signIn: {
            auto* holder = new QWidget;
            auto* column = new QVBoxLayout(holder);
            column->setContentsMargins(0, 4, 0, 0);
            column->setSpacing(6);
            signInStatus_ = new StatusArea(380);
            signInStatus_->setObjectName("onboarding.signInStatus");
            // "Use a different account" hides while that sign-in runs: the line saying how it
            // goes holds the focus meanwhile.
            setStandsInFor(signInStatus_, {"onboarding.differentAccount"});
            column->addWidget(signInStatus_);
            column->addWidget(makeSignInLinkRow(), 0, Qt::AlignHCenter);
            differentAccount_ = new QPushButton("Use a different account");
            differentAccount_->setObjectName("onboarding.differentAccount");
            differentAccount_->setAccessibleName("Use a different account");
            differentAccount_->setFlat(true);
            differentAccount_->setCursor(Qt::PointingHandCursor);
            differentAccount_->setFont(Theme::font(FontRole::callout));
            setPaletteColour(differentAccount_, QPalette::ButtonText, ThemeColour::accent);
            connect(differentAccount_, &QPushButton::clicked, this,
                    [this] { model_->useDifferentAccount(); });
            column->addWidget(differentAccount_, 0, Qt::AlignHCenter);
            return holder;
        }
        case OnboardingStep::fullDiskAccess:
            hint_ = new FullDiskAccessHint;
            return hint_;
        case OnboardingStep::contacts:
            contactsStatus_ = new StatusArea(380);
            contactsStatus_->setObjectName("onboarding.contactsStatus");
            return contactsStatus_;
        case OnboardingStep::indexing: {
            auto* holder = new QWidget;
            holder->setObjectName("onboarding.indexingStatus");
            auto* column = new QVBoxLayout(holder);
            column->setContentsMargins(0, 8, 0, 0);
            column->setSpacing(8);
            indexingBar_ = new QProgressBar;
            indexingBar_->setObjectName("onboarding.indexingProgress");
            indexingBar_->setAccessibleName("Indexing progress");
            indexingBar_->setTextVisible(false);
            indexingBar_->setFixedSize(280, 8);
            column->addWidget(indexingBar_, 0, Qt::AlignHCenter);
            indexingLines_ = new StatusArea(380);
            column->addWidget(indexingLines_);
            return holder;
        }
        case OnboardingStep::done: {
            auto* holder = new QWidget;
            retentionHolder_ = new QVBoxLayout(holder);
            retentionHolder_->setContentsMargins(0, 0, 0, 0);
            return holder;
        }
    }
    return nullptr;
}

QWidget* OnboardingView::makeSignInLinkRow() {
    signInLinkRow_ = new QWidget;
    signInLinkRow_->setObjectName("onboarding.signInLinkRow");
    auto* row = new QHBoxLayout(signInLinkRow_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    signInLink_ = new QLabel;
    signInLink_->setObjectName("onboarding.signInLink");
    signInLink_->setFont(Theme::font(FontRole::caption));
    signInLink_->setTextFormat(Qt::PlainText);
    setTextColour(signInLink_, ThemeColour::accent);
    row->addWidget(signInLink_);
    auto* copy = new QPushButton("Copy Link");
    copy->setObjectName("onboarding.copySignInLink");
    copy->setAccessibleName("Copy the sign-in link");
    copy->setFont(Theme::font(FontRole::callout));
    copy->setCursor(Qt::PointingHandCursor);
    Theme::useBrandButtons(copy);
    connect(copy, &QPushButton::clicked, this, [this] {
        if (signInLink_) {
            QGuiApplication::clipboard()->setText(signInLink_->toolTip());
        }
    });
    row->addWidget(copy);
    signInLinkRow_->hide();
    return signInLinkRow_;
}

void OnboardingView::renderExtra() {
    if (signInStatus_) {
        const auto status = model_->signInStatus();
        const QStringList linesBefore = signInStatus_->lines();
        const bool linkBefore = !signInLinkRow_->isHidden();
        const FocusKeeper::Rebuild keepsFocus(signInStatus_->parentWidget());
        signInStatus_->setStatus(status.status);
        differentAccount_->setVisible(status.offersDifferentAccount);
        signInLinkRow_->setVisible(status.link.has_value());
        // Shortened in the middle to fit beside its button; whole in the tooltip and the copy.
        const QString link = status.link ? qs(*status.link) : QString();
        signInLink_->setToolTip(link);
        signInLink_->setText(
            QFontMetrics(signInLink_->font()).elidedText(link, Qt::ElideMiddle, linkWidth));
        if (isVisible() &&
            (signInStatus_->lines() != linesBefore || linkBefore != status.link.has_value())) {
            revealSignInStatus();
        }
    }
    if (hint_) {
        hint_->setFolder(model_->accessFolder());
        hint_->setStatus(model_->accessStatus());
    }
    if (contactsStatus_) {
        contactsStatus_->setStatus(model_->contactsStatus());
    }
    if (indexingBar_) {
        const auto status = model_->indexingStatus();
        indexingBar_->setVisible(!status.failed);
        if (status.fraction) {
            indexingBar_->setRange(0, 1000);
            indexingBar_->setValue(static_cast<int>(*status.fraction * 1000));
        } else {
            indexingBar_->setRange(0, 0);
        }
        OnboardingStepsModel::Status lines;
        for (const auto& line : status.lines) {
            lines.lines.push_back(line);
        }
        indexingLines_->setStatus(lines);
    }
    if (retentionHolder_) {
        const auto retention = model_->retention();
        if (retention != shownRetention_) {
            while (QLayoutItem* item = retentionHolder_->takeAt(0)) {
                delete item->widget();
                delete item;
            }
            if (retention) {
                retentionHolder_->addWidget(
                    widthLimited(new MessageRetentionNotice(*retention), 420));
            }
            shownRetention_ = retention;
        }
    }
}

void OnboardingView::revealSignInStatus() {
    // What the sign-in says (the browser that did not open, the link, Copy Link) may have come
    // below the fold of a short screen: the page scrolls to it once laid out.
    settleLayouts(signInStatus_);
    fitHeight();
    QWidget* last = signInStatus_;
    for (QWidget* below : std::initializer_list<QWidget*>{signInLinkRow_, differentAccount_}) {
        if (!below->isHidden()) {
            last = below;
        }
    }
    scrollIntoView(scroll_, signInStatus_, last);
}

void OnboardingView::renderFooter() {
    skip_->setVisible(model_->showsSkip());
    relaunch_->setVisible(model_->showsRelaunch());
    dots_->setCurrent(static_cast<int>(model_->step.get()));
    const auto label = model_->primaryLabel();
    primary_->setVisible(label.has_value());
    if (label) {
        primary_->setText(qs(*label));
        primary_->setAccessibleName(qs(*label));
        primary_->updateGeometry();
    }
    // Disabled while its work runs (a sign-in, the contacts being read), the button leaves the
    // focus in the footer rather than to the next control, Skip, whose press would skip the
    // step; it takes the focus back once enabled, unless the user moved it meanwhile.
    const bool disabled = model_->primaryDisabled() || !label.has_value();
    if (disabled && window()->focusWidget() == primary_) {
        footer_->setFocus(Qt::OtherFocusReason);
        primaryWaiting_ = true;
    }
    primary_->setEnabled(!model_->primaryDisabled());
    if (!disabled && primaryWaiting_) {
        primaryWaiting_ = false;
        if (window()->focusWidget() == footer_) {
            primary_->setFocus(Qt::OtherFocusReason);
        }
    }
}

void OnboardingView::orderFocus() {
    QWidget* previous = differentAccount_;
    for (QWidget* next : std::initializer_list<QWidget*>{skip_, relaunch_, primary_}) {
        if (previous) {
            setTabOrder(previous, next);
        }
        previous = next;
    }
}

}  // namespace vask::ui
