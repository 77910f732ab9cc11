#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/executor.h"
#include "sources/contacts_manager.h"
#include "sources/contacts_store.h"
#include "sources/contacts_sync_engine.h"

namespace vask {

// Why the address book's folder could not be read.
enum class ContactsFolderProblem { missing, unreadable };

// What the contacts view model needs of the contacts synchronisation engine. Every callback
// runs on the main executor.
class ContactsSyncControlling {
  public:
    struct StartOutcome {
        // The error's description when the engine did not start (access refused, schema).
        std::optional<std::string> error;
        // False when the engine was already running, so no first synchronisation was asked for
        // and no completion will follow from this start.
        bool scheduledSync = false;
    };
    struct SyncFailure {
        std::string description;
        // Set when the address book's folder itself could not be read.
        std::optional<ContactsFolderProblem> folder;
    };

    virtual ~ContactsSyncControlling() = default;

    // The platform's status: 0 not determined, 1 restricted, 2 denied, 3 authorized, others.
    virtual int authorizationStatus() const = 0;
    virtual void setOnSyncComplete(std::function<void()> handler) = 0;
    virtual void setOnSyncError(std::function<void(const SyncFailure&)> handler) = 0;
    // Asks for access, prepares the database, schedules the first synchronisation and follows
    // address-book changes; returns at once and reports through `done`.
    virtual void start(std::function<void(const StartOutcome&)> done) = 0;
    virtual void scheduleSync() = 0;
};

// The controller over the real engine: the engine's callbacks, which arrive on its queue, are
// posted to the main executor.
class LiveContactsSyncController final
    : public ContactsSyncControlling,
      public std::enable_shared_from_this<LiveContactsSyncController> {
  public:
    static constexpr const char* defaultCountryCode = "1";

    static std::shared_ptr<LiveContactsSyncController> make(ContactsManager manager,
                                                            ContactsStore store,
                                                            MainExecutor& main);

    int authorizationStatus() const override;
    void setOnSyncComplete(std::function<void()> handler) override;
    void setOnSyncError(std::function<void(const SyncFailure&)> handler) override;
    void start(std::function<void(const StartOutcome&)> done) override;
    void scheduleSync() override;

  private:
    LiveContactsSyncController(ContactsManager manager, ContactsStore store, MainExecutor& main);

    ContactsManager manager_;
    ContactsSyncEngine engine_;
    MainExecutor& main_;
    std::function<void()> onSyncComplete_;
    std::function<void(const SyncFailure&)> onSyncError_;
};

}  // namespace vask
