#pragma once

#include <QWidget>

#include "records/chat_token_usage.h"

class QLabel;

namespace vask::ui {

// A turn's token usage in two short lines, with the full breakdown as tooltip and accessible
// name.
class TokenUsageSummaryView : public QWidget {
    Q_OBJECT
  public:
    explicit TokenUsageSummaryView(const ChatTokenUsage& usage, Qt::Alignment alignment,
                                   QWidget* parent = nullptr);
    void setUsage(const ChatTokenUsage& usage);

  private:
    QLabel* total_;
    QLabel* categories_;
};

}  // namespace vask::ui
