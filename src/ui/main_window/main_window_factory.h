#pragma once

#include <functional>

#include "platform/url_opener.h"
#include "shell/app_dependencies.h"
#include "ui/main_window/main_window.h"

namespace vask::ui {

// The main window over the root's chat, synchronisation and awaiting-reply list.
// `makeChatView` makes the chat shown for the current session.
MainWindow* makeMainWindow(AppDependencies& root, Clipboard& clipboard, UrlOpener& urlOpener,
                           std::function<QWidget*()> makeChatView);

}  // namespace vask::ui
