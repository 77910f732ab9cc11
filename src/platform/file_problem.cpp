#include "platform/file_problem.h"

namespace vask {

Alert fileProblemAlert(const FileProblem& problem) {
    const std::string file = problem.file.string();
    const std::string aside =
        problem.keptAside ? "The damaged file was kept as " + problem.keptAside->string() + "."
                          : std::string();
    const std::string details = problem.reason.empty() ? "" : "\n\nDetails: " + problem.reason;
    switch (problem.kind) {
        case FileProblem::Kind::settingsUnwritable:
            return {Alert::Style::warning,
                    "Vask cannot save your settings",
                    "Vask could not write " + file +
                        ". Changes you make now last only until Vask quits. Check that this "
                        "path is a file you can write." +
                        details,
                    {"OK"}};
        case FileProblem::Kind::settingsDamaged:
            return {Alert::Style::warning,
                    "Your settings were damaged",
                    "Vask could not read " + file + " and started again from its defaults. " +
                        aside + details,
                    {"OK"}};
        case FileProblem::Kind::credentialsDamaged:
            return {Alert::Style::warning,
                    "Your saved sign-in was damaged",
                    "Vask could not read " + file + " and may ask you to sign in again. " + aside +
                        details,
                    {"OK"}};
        case FileProblem::Kind::memoryUnavailable:
            return {Alert::Style::warning,
                    "Vask cannot open its memory",
                    "Vask could not open " + file +
                        ". Memory is off until it can; the file was left as it is." + details,
                    {"OK"}};
    }
    return {};
}

void FileProblems::report(FileProblem problem) {
    Listener listener;
    {
        std::lock_guard lock(mutex_);
        if (!told_.emplace(problem.kind, problem.file).second) {
            return;
        }
        if (!listener_) {
            waiting_.push_back(std::move(problem));
            return;
        }
        listener = listener_;
    }
    listener(problem);
}

void FileProblems::setListener(Listener listener) {
    std::vector<FileProblem> waiting;
    Listener current;
    {
        std::lock_guard lock(mutex_);
        listener_ = std::move(listener);
        if (listener_) {
            waiting.swap(waiting_);
            current = listener_;
        }
    }
    for (const auto& problem : waiting) {
        current(problem);
    }
}

}  // namespace vask
