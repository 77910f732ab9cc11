#include "shell/relauncher.h"

namespace vask {

Relauncher::Relauncher(Dependencies dependencies) : deps_(std::move(dependencies)) {}

Relauncher::~Relauncher() {
    timeout_.cancel();
}

std::shared_ptr<Relauncher> Relauncher::make(Dependencies dependencies) {
    return std::shared_ptr<Relauncher>(new Relauncher(std::move(dependencies)));
}

void Relauncher::relaunch() {
    if (waitingFor_) {
        logger_.info("relaunch_skipped", {{"reason", "already_waiting"}});
        return;
    }
    const auto pid = deps_.spawn ? deps_.spawn() : std::nullopt;
    if (!pid) {
        fail("spawn_failed");
        return;
    }
    waitingFor_ = *pid;
    logger_.info("relaunch_started", {{"pid", std::to_string(*pid)}});
    timeout_ = deps_.scheduler.after(
        reportTimeout, [weak = weak_from_this(), &main = deps_.main, pid = *pid] {
            main.post([weak, pid] {
                if (auto self = weak.lock(); self && self->waitingFor_ == pid) {
                    self->fail("no_report");
                }
            });
        });
}

void Relauncher::instanceStarted(std::int64_t pid) {
    if (!waitingFor_ || *waitingFor_ != pid) {
        logger_.info("relaunch_report_ignored", {{"pid", std::to_string(pid)}});
        return;
    }
    timeout_.cancel();
    waitingFor_.reset();
    logger_.info("relaunch_ready", {{"pid", std::to_string(pid)}});
    if (deps_.quit) {
        deps_.quit();
    }
}

void Relauncher::fail(const std::string& reason) {
    timeout_.cancel();
    waitingFor_.reset();
    logger_.error("relaunch_failed", {{"reason", reason}});
    if (deps_.failed) {
        deps_.failed(failedText);
    }
}

}  // namespace vask
