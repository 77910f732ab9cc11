#pragma once

#include <string>
#include <string_view>

#include "platform/error.h"

namespace vask {

// The one error every relay read call throws. what() is the text shown to the user.
class CorvaneServiceError : public Error {
  public:
    enum class Case { clientError, noCredentials, unauthorized };

    // `message` is the complete user-facing text.
    static CorvaneServiceError clientError(const std::string& message) {
        return CorvaneServiceError(Case::clientError, message);
    }
    static CorvaneServiceError noCredentials() {
        return CorvaneServiceError(Case::noCredentials, "No API key or account configured");
    }
    static CorvaneServiceError unauthorized() {
        return CorvaneServiceError(Case::unauthorized,
                                   "Your session expired. Please sign in again.");
    }

    Case errorCase() const { return case_; }

    bool operator==(const CorvaneServiceError& other) const {
        return case_ == other.case_ && std::string_view(what()) == other.what();
    }

  private:
    CorvaneServiceError(Case c, const std::string& message) : Error(message), case_(c) {}
    Case case_;
};

}  // namespace vask
