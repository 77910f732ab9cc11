#include "sources/contacts_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "sources/fake_system_contact_store.h"
#include "store/phone_number_normalizer.h"
#include "support/fake_clock.h"

namespace vask {
namespace {

using ::testing::UnorderedElementsAreArray;
using Status = ContactAuthorizationStatus;

SystemContact card(std::string id) {
    SystemContact contact;
    contact.identifier = std::move(id);
    return contact;
}

class ContactsManagerTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::FakeSystemContactStore> store_ =
        std::make_shared<test::FakeSystemContactStore>();
    test::FakeClock clock_;
    ContactsManager manager_{store_, clock_};
};

TEST_F(ContactsManagerTest, PayloadNamesAndIdentifiers) {
    struct Case {
        const char* name;
        SystemContact contact;
        std::string displayName;
        std::vector<ContactIdentifier> identifiers;
    };
    auto with = [](auto edit) {
        auto contact = card("id");
        edit(contact);
        return contact;
    };
    const std::vector<Case> cases = {
        {"nothing at all", card("id"), "Unknown", {}},
        {"company only",
         with([](auto& c) { c.organizationName = "Analytical Engines"; }),
         "Analytical Engines",
         {}},
        {"full name wins over the company",
         with([](auto& c) {
             c.givenName = "Ada";
             c.familyName = "Lovelace";
             c.organizationName = "Analytical Engines";
         }),
         "Ada Lovelace",
         {}},
        {"one number written two ways",
         with([](auto& c) {
             c.phoneNumbers = {"(555) 010-0123", "+1 555 010 0123"};
         }),
         "(555) 010-0123",
         {{ContactIdentifierType::phone, "+15550100123"}}},
        {"address in capitals with trailing blanks, and a blank one",
         with([](auto& c) {
             c.emailAddresses = {"Ada@Example.COM  ", "   "};
         }),
         "Ada@Example.COM  ",
         {{ContactIdentifierType::email, "ada@example.com"}}},
        {"number too short to normalise is still a name",
         with([](auto& c) { c.phoneNumbers = {"55501"}; }),
         "55501",
         {}},
        {"an empty first address does not blank the name",
         with([](auto& c) {
             c.emailAddresses = {""};
             c.phoneNumbers = {"212 555 0100"};
         }),
         "212 555 0100",
         {{ContactIdentifierType::phone, "+12125550100"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store_->contacts = {c.contact};
        const auto payloads = manager_.buildPayloads("1");
        ASSERT_EQ(payloads.size(), 1u);
        EXPECT_EQ(payloads[0].appleID, "id");
        EXPECT_EQ(payloads[0].displayName, c.displayName);
        EXPECT_THAT(payloads[0].identifiers, UnorderedElementsAreArray(c.identifiers));
        EXPECT_EQ(payloads[0].notes, std::nullopt);
    }
}

TEST_F(ContactsManagerTest, PhoneIdentifiersMeetNormalisedMessageHandles) {
    // The shadow database reduces a sender's handle with the code "1"; a contact synced with the
    // same code must end up with the very same text, or the join shows no name.
    auto contact = card("id");
    contact.phoneNumbers = {"+1 (212) 555-0100", "020 7946 0000"};
    store_->contacts = {contact};
    const auto payloads = manager_.buildPayloads("1");
    ASSERT_EQ(payloads.size(), 1u);
    for (const auto& handle : {"+12125550100", "12125550100", "(212) 555-0100"}) {
        const auto normalised = PhoneNumberNormalizer::normalize(handle, "1");
        ASSERT_TRUE(normalised.has_value()) << handle;
        EXPECT_NE(std::find(payloads[0].identifiers.begin(), payloads[0].identifiers.end(),
                            ContactIdentifier{ContactIdentifierType::phone, *normalised}),
                  payloads[0].identifiers.end())
            << handle;
    }
}

TEST_F(ContactsManagerTest, BuildsASecondApartDifferOnlyInTheirTime) {
    auto ada = card("a");
    ada.givenName = "Ada";
    ada.emailAddresses = {"ada@example.com"};
    auto bob = card("b");
    bob.organizationName = "Stone & Co";
    store_->contacts = {ada, bob};
    clock_.setWallTime(Clock::WallTime(std::chrono::milliseconds(1'700'000'000'900)));
    auto first = manager_.buildPayloads("1");
    clock_.setWallTime(Clock::WallTime(std::chrono::milliseconds(1'700'000'001'900)));
    auto second = manager_.buildPayloads("1");

    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].appleID, "a");
    EXPECT_EQ(first[1].appleID, "b");
    for (auto* payloads : {&first, &second}) {
        for (auto& payload : *payloads) {
            std::sort(payload.identifiers.begin(), payload.identifiers.end(),
                      [](const auto& x, const auto& y) { return x.value < y.value; });
        }
    }
    EXPECT_EQ(first[0].updatedAt, 1'700'000'000);
    EXPECT_EQ(first[1].updatedAt, 1'700'000'000);
    EXPECT_EQ(second[0].updatedAt, 1'700'000'001);
    for (auto& payload : second) {
        payload.updatedAt = 1'700'000'000;
    }
    EXPECT_EQ(first, second);
    ASSERT_TRUE(store_->lastRequest.has_value());
    EXPECT_TRUE(store_->lastRequest->unifyResults);
    EXPECT_EQ(store_->lastRequest->sortOrder, ContactSortOrder::userDefault);
}

TEST_F(ContactsManagerTest, AccessRequestAsksOnlyWhenUndecided) {
    struct Case {
        Status status;
        bool grant;
        bool expected;
        int requests;
    };
    const std::vector<Case> cases = {
        {Status::authorized, false, true, 0},   {Status::denied, true, false, 0},
        {Status::restricted, true, false, 0},   {Status::limited, true, false, 0},
        {Status::notDetermined, true, true, 1}, {Status::notDetermined, false, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.status));
        store_->status = c.status;
        store_->grantOnRequest = c.grant;
        store_->requestCount = 0;
        EXPECT_EQ(manager_.requestAccessIfNeeded(), c.expected);
        EXPECT_EQ(store_->requestCount, c.requests);
    }
}

TEST_F(ContactsManagerTest, StoreFailuresReachTheCaller) {
    store_->requestError = "settings file is read-only";
    try {
        manager_.requestAccessIfNeeded();
        ADD_FAILURE() << "no error";
    } catch (const SystemContactStoreError& error) {
        EXPECT_EQ(error.kind(), SystemContactStoreError::Case::accessRequestFailed);
        EXPECT_EQ(error.message(), "settings file is read-only");
    }
    store_->enumerationError = "card.vcf: Permission denied";
    EXPECT_THROW(manager_.buildPayloads("1"), SystemContactStoreError);
}

TEST_F(ContactsManagerTest, ChangeHandlerHearsOnlyItsStoreUntilRemoved) {
    int calls = 0;
    auto token = manager_.observeChanges([&] { ++calls; });
    const test::FakeSystemContactStore otherStore;
    store_->changes.notify();
    otherStore.changes.notify();
    EXPECT_EQ(calls, 1);
    manager_.removeObserver(token);
    store_->changes.notify();
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace vask
