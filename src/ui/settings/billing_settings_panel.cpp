#include "ui/settings/billing_settings_panel.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLocale>
#include <QPainter>
#include <QProgressBar>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

#include "shell/settings_presenter.h"
#include "ui/keyboard.h"
#include "ui/qt_platform.h"
#include "ui/symbols.h"

namespace vask::ui {

namespace bp = billing_panel;

namespace {

// How much of the allowance is used: a rounded bar in `tint` on a track in the edge colour.
class UsageBar final : public QProgressBar {
  public:
    explicit UsageBar(Shade tint) : tint_(tint) {}

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        const QRectF track(rect());
        const qreal radius = track.height() / 2;
        painter.setBrush(Shade(ThemeColour::edge).colour());
        painter.drawRoundedRect(track, radius, radius);
        const int span = maximum() - minimum();
        const qreal part = span > 0 ? qreal(value() - minimum()) / span : 0.0;
        if (part > 0) {
            painter.setBrush(tint_.colour());
            painter.drawRoundedRect(
                QRectF(track.topLeft(),
                       QSizeF(std::max(track.height(), track.width() * part), track.height())),
                radius, radius);
        }
    }

  private:
    Shade tint_;
};

}  // namespace

BillingSettingsPanel::BillingSettingsPanel(std::shared_ptr<BillingViewModel> viewModel,
                                           std::shared_ptr<PresetCatalogService> catalogService,
                                           UrlOpener* opener,
                                           std::function<std::string()> accountPage,
                                           QWidget* parent)
    : FormSection("Plan", parent),
      viewModel_(std::move(viewModel)),
      catalogService_(std::move(catalogService)),
      opener_(opener),
      accountPage_(std::move(accountPage)),
      loader_({
          .state = [this] { return viewModel_->state.get(); },
          .load =
              [this](std::function<void()> done) { viewModel_->loadBillingInfo(std::move(done)); },
      }) {
    header()->addStretch();
    spinner_ = new QProgressBar;
    spinner_->setRange(0, 0);
    spinner_->setTextVisible(false);
    spinner_->setFixedSize(48, 6);
    spinner_->setAccessibleName("Loading plan");
    setStandsInFor(spinner_, {"refresh-plan-button"});
    header()->addWidget(spinner_, 0, Qt::AlignVCenter);
    refresh_ = new QToolButton;
    refresh_->setObjectName("refresh-plan-button");
    refresh_->setAutoRaise(true);
    refresh_->setToolTip("Refresh plan");
    refresh_->setAccessibleName("Refresh plan");
    ensureViewIcons();
    refresh_->setIcon(symbolIcon("arrow.clockwise", ThemeColour::secondary, false));
    connect(refresh_, &QToolButton::clicked, this, [this] { loader_.refresh(); });
    header()->addWidget(refresh_);
    // Tab follows the order of the section's children: Refresh, in the heading, comes before
    // the rows under it, made earlier.
    refresh_->lower();

    rows_ = new QWidget;
    auto* column = new QVBoxLayout(rows_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(Theme::spacingSmall);
    body()->addWidget(rows_);

    subscriptions_.push_back(
        viewModel_->state.subscribe([this](const auto&) { render(); }, Delivery::changesOnly));
    if (catalogService_) {
        subscriptions_.push_back(catalogService_->record.subscribe(
            [this](const auto&) { render(); }, Delivery::changesOnly));
        subscriptions_.push_back(catalogService_->lastRefreshFailed.subscribe(
            [this](const auto&) { render(); }, Delivery::changesOnly));
    }
    render();
}

void BillingSettingsPanel::showEvent(QShowEvent* event) {
    FormSection::showEvent(event);
    loader_.appear();
}

QString BillingSettingsPanel::abbreviatedDate(Clock::WallTime time) {
    return QString::fromStdString(settings::abbreviatedDate(time, QLocale().name().toStdString()));
}

void BillingSettingsPanel::render() {
    // A control pressed here keeps the focus once the rows are rebuilt; Refresh, hidden while
    // the plan loads, takes it back once loaded.
    const FocusKeeper::Rebuild keepsFocus(this);
    const BillingState state = viewModel_->state.get();
    const bool showsRefresh = bp::showsRefreshButton(state);
    refresh_->setVisible(showsRefresh);
    spinner_->setVisible(!showsRefresh);

    auto* column = static_cast<QVBoxLayout*>(rows_->layout());
    clearLayout(column);
    switch (bp::bodyFor(state)) {
        case bp::Body::managed:
            addManagedRows(std::get<ManagedBillingInfo>(*state.info()));
            break;
        case bp::Body::developer:
            addDeveloperRows(std::get<DeveloperBillingInfo>(*state.info()));
            break;
        case bp::Body::error: {
            auto* error = styledText(state.failure()->what(), FontRole::body, errorRed(), true);
            error->setObjectName("plan-error");
            column->addWidget(error);
            break;
        }
        case bp::Body::loading:
            column->addWidget(styledText(bp::loadingText, FontRole::body, ThemeColour::secondary));
            break;
    }
    settleLayouts(rows_);
}

void BillingSettingsPanel::addManagedRows(const ManagedBillingInfo& info) {
    auto* column = static_cast<QVBoxLayout*>(rows_->layout());
    const auto rows = bp::managedRows(
        info, catalogService_ ? catalogService_->catalog() : std::nullopt,
        catalogService_ ? catalogService_->selectedCode() : std::string(),
        [](Clock::WallTime t) { return abbreviatedDate(t).toStdString(); },
        QLocale().name().toStdString());
    const auto ink = ThemeColour::ink;

    auto* plan = new QHBoxLayout;
    plan->addWidget(symbolLabel(rows.symbol == bp::PlanSymbol::sparkles ? "sparkles" : "leaf",
                                ThemeColour::accent));
    auto* name = styledText(qs(rows.planName), FontRole::body, ink);
    QFont semibold = name->font();
    semibold.setWeight(QFont::DemiBold);
    name->setFont(semibold);
    name->setObjectName("plan-name");
    plan->addWidget(name, 1);
    if (rows.price) {
        auto* price = styledText(qs(*rows.price), FontRole::body, ThemeColour::secondary);
        price->setObjectName("plan-price");
        plan->addWidget(price);
    }
    column->addLayout(plan);

    if (rows.periodEnd) {
        auto* period = new QHBoxLayout;
        period->addWidget(styledText("Current period ends", FontRole::body, ink));
        period->addStretch();
        period->addWidget(
            styledText(abbreviatedDate(*rows.periodEnd), FontRole::body, ThemeColour::secondary));
        column->addLayout(period);
    }

    if (rows.presets) {
        auto* stack = new QVBoxLayout;
        stack->setSpacing(4);
        auto* pickerRow = new QHBoxLayout;
        pickerRow->addWidget(styledText("Response quality", FontRole::body, ink));
        pickerRow->addStretch();
        auto* picker = new QComboBox;
        picker->setObjectName("response-quality-picker");
        picker->setAccessibleName("Response quality");
        for (const auto& preset : rows.presets->presets) {
            picker->addItem(qs(preset.displayName), qs(preset.code));
        }
        picker->setCurrentIndex(picker->findData(qs(rows.presets->selectedCode)));
        connect(picker, &QComboBox::activated, this, [this, picker](int index) {
            catalogService_->select(picker->itemData(index).toString().toStdString());
            render();
        });
        pickerRow->addWidget(picker);
        stack->addLayout(pickerRow);
        if (rows.presets->description) {
            stack->addWidget(styledText(qs(*rows.presets->description), FontRole::caption,
                                        ThemeColour::secondary, true));
        }
        column->addLayout(stack);
    }

    if (rows.usage) {
        auto* usage = new QVBoxLayout;
        usage->setSpacing(6);
        usage->setContentsMargins(0, 2, 0, 2);
        if (rows.usage->barValue) {
            auto* bar = new UsageBar(rows.usage->barTint == bp::BarTint::red ? errorRed()
                                                                             : warningOrange());
            bar->setObjectName("usage-bar");
            bar->setRange(0, 1000);
            bar->setValue(static_cast<int>(*rows.usage->barValue * 1000));
            bar->setTextVisible(false);
            bar->setFixedHeight(6);
            usage->addWidget(bar);
        }
        auto* copy =
            styledText(qs(rows.usage->copy), FontRole::caption, ThemeColour::secondary, true);
        copy->setObjectName("usage-copy");
        usage->addWidget(copy);
        column->addLayout(usage);
    }

    auto* link = new QPushButton(qs(rows.linkTitle));
    link->setObjectName(qs(rows.linkIdentifier));
    link->setAccessibleName(qs(rows.linkTitle));
    link->setFlat(true);
    link->setCursor(Qt::PointingHandCursor);
    link->setStyleSheet("QPushButton { border: none; text-align: left; padding: 0; }");
    setTextColour(link, ThemeColour::accent);
    connect(link, &QPushButton::clicked, this, [this] { openAccountPage(); });
    column->addWidget(link, 0, Qt::AlignLeft);
    if (!openFailure_.isEmpty()) {
        auto* failure = styledText(openFailure_, FontRole::caption, errorRed(), true);
        failure->setObjectName("account-page-failure");
        failure->setAccessibleName(openFailure_);
        column->addWidget(failure);
    }
}

void BillingSettingsPanel::openAccountPage() {
    const bool hadFailure = !openFailure_.isEmpty();
    openFailure_.clear();
    if (hadFailure) {
        render();
    }
    const auto said = [this](const QString& failure) {
        openFailure_ = failure;
        render();
    };
    if (opener_ == nullptr || !accountPage_) {
        said(QString::fromStdString(
            openFailureText("the account page", "nothing on this desktop opens web pages")));
        return;
    }
    openFor(this, *opener_, accountPage_(), "the account page", said);
}

void BillingSettingsPanel::addDeveloperRows(const DeveloperBillingInfo& info) {
    auto* column = static_cast<QVBoxLayout*>(rows_->layout());
    const auto rows = bp::developerRows(info);
    auto* notice = new QVBoxLayout;
    notice->setSpacing(4);
    auto* title = styledText(bp::developerTitle, FontRole::body, ThemeColour::ink);
    QFont semibold = title->font();
    semibold.setWeight(QFont::DemiBold);
    title->setFont(semibold);
    notice->addWidget(title);
    notice->addWidget(
        styledText(bp::developerNotice, FontRole::caption, ThemeColour::secondary, true));
    column->addLayout(notice);

    auto* balance = new QHBoxLayout;
    balance->addWidget(styledText(bp::developerBalanceLabel, FontRole::body, ThemeColour::ink));
    balance->addStretch();
    auto* value = styledText(qs(rows.balance), FontRole::body,
                             rows.balanceIsLow ? warningOrange() : ThemeColour::ink);
    QFont medium = value->font();
    medium.setWeight(QFont::Medium);
    value->setFont(medium);
    value->setObjectName("developer-balance");
    balance->addWidget(value);
    column->addLayout(balance);
}

}  // namespace vask::ui
