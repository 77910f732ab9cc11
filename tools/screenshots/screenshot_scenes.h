#pragma once

// The views in their named states with stand-in data, as the screenshot tool renders them and
// the keyboard walk test goes through them.

#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "platform/environment.h"
#include "platform/manual_executor.h"
#include "platform/scheduler.h"
#include "platform/url_opener.h"
#include "platform/user_defaults.h"
#include "shell/app_dependencies.h"

namespace vask::screenshots {

// Timers never fire: a screenshot is one still moment.
class StillScheduler final : public Scheduler {
  public:
    StillScheduler() : Scheduler(Clock::system()) {}
};

struct NoClipboard final : Clipboard {
    void setText(const std::string&) override {}
};

// A root over a scratch home with a small sample history, as a new user's machine would be;
// `extra` is added to its environment.
struct Scene {
    explicit Scene(const std::filesystem::path& home, const Environment& extra = {});
    void signIn();
    void drain();

    std::filesystem::path homeDir;
    InMemoryDefaults defaults;
    ManualExecutor main;
    ManualExecutor worker;
    StillScheduler scheduler;
    std::unique_ptr<AppDependencies> root;
};

struct Shot {
    const char* view;
    const char* state;
    // Builds the widget to grab; the scene stays alive while it is shown.
    std::function<QWidget*(Scene&)> build;
    // What is done to it once shown, if anything.
    std::function<void(QWidget*, Scene&)> then = {};
    // Added to its scene's environment.
    Environment environment = {};
};

// Every view in every named state; `scratch` is the folder each shot's scene is made in.
std::vector<Shot> allShots(const std::filesystem::path& scratch);

// Widgets added while shown appear, and are laid out, over a few turns of the loop.
void settle();

// A shot built over a scene of its own in `scratch`, shown and settled, with what is done to it
// done. What it keeps alive goes with it.
class ShownShot {
  public:
    ShownShot(const Shot& shot, const std::filesystem::path& scratch);
    ~ShownShot();
    ShownShot(const ShownShot&) = delete;
    ShownShot& operator=(const ShownShot&) = delete;

    QWidget* widget() const { return widget_.get(); }
    Scene& scene() const { return *scene_; }

  private:
    std::unique_ptr<Scene> scene_;
    std::unique_ptr<QWidget> widget_;
};

}  // namespace vask::screenshots
