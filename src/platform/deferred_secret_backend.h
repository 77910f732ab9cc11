#pragma once

#include <functional>
#include <future>
#include <memory>

#include "platform/executor.h"
#include "platform/secret_backend.h"

namespace vask {

// Secret storage whose backend is chosen on a worker: finding out whether a keyring answers
// may take as long as D-Bus waits for a silent one, and nothing on the main executor waits for
// that. Construction returns at once; each operation waits until the choice is made (so only
// worker threads call them while mayBlock() says so), then goes to the chosen backend.
class DeferredSecretBackend final : public SecretBackend {
  public:
    using Choose = std::function<std::shared_ptr<SecretBackend>()>;

    // Posts `choose` to `executor`. A choice that throws, or gives nothing, leaves storage that
    // answers notAvailable.
    DeferredSecretBackend(Executor& executor, Choose choose);

    ReadResult copyMatching(std::string_view service, std::string_view account) override;
    Outcome update(std::string_view service, std::string_view account,
                   std::string_view data) override;
    Outcome add(std::string_view service, std::string_view account, std::string_view data) override;
    Outcome remove(std::string_view service, std::string_view account) override;
    Outcome removeAll(std::string_view service, const std::vector<std::string>& accounts) override;
    Outcome removeService(std::string_view service) override;
    Outcome unlock(std::string_view service) override;
    // The chosen backend's kind; "unresolved" until the choice is made.
    std::string_view kind() const override;
    // True until the choice is made, then the chosen backend's answer.
    bool mayBlock() const override;
    // The chosen backend's, once chosen (the choice itself asks the keyring).
    void askAgain() override;

  private:
    // Never waits.
    bool isResolved() const;
    // Waits for the choice.
    std::shared_ptr<SecretBackend> resolved() const;

    std::shared_future<std::shared_ptr<SecretBackend>> chosen_;
};

}  // namespace vask
