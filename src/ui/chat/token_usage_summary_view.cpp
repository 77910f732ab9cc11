#include "ui/chat/token_usage_summary_view.h"

#include <QLabel>
#include <QVBoxLayout>

#include "chat/chat_presenters.h"
#include "ui/chat/chat_style.h"

namespace vask::ui {

using namespace chat_style;

TokenUsageSummaryView::TokenUsageSummaryView(const ChatTokenUsage& usage, Qt::Alignment alignment,
                                             QWidget* parent)
    : QWidget(parent) {
    setObjectName("tokenUsageSummary");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(1);
    total_ = elidingLabel({}, textFont(FontRole::caption), Tone::tertiary);
    categories_ = elidingLabel({}, textFont(FontRole::caption), Tone::tertiary);
    for (auto* label : {total_, categories_}) {
        label->setObjectName(label == total_ ? "tokenUsageTotal" : "tokenUsageCategories");
        label->setAlignment(alignment);
        // Full length when there is room, cut with an ellipsis when there is not.
        label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        column->addWidget(label);
    }
    setUsage(usage);
}

void TokenUsageSummaryView::setUsage(const ChatTokenUsage& usage) {
    const auto texts = chat_presentation::tokenUsageTexts(usage);
    total_->setText(qt(texts.totalSummary));
    categories_->setText(qt(texts.categorySummary));
    setToolTip(qt(texts.detail));
    setAccessibleName(qt(texts.detail));
}

}  // namespace vask::ui
