#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/manual_executor.h"
#include "proactive/draft_reply_generator.h"
#include "proactive/persona_drafts.h"
#include "proactive/proactive_surfaces.h"
#include "proactive/reply_drafts.h"
#include "support/log_capture.h"

namespace vask {
namespace {

TEST(DraftReplyGenerator, SanitizeCleansTheModelsAnswer) {
    const std::string long700 = std::string(598, 'a') + "  " + std::string(100, 'b');
    const std::string cutAtNewline = std::string(599, 'a') + "\n" + std::string(100, 'b');
    struct Case {
        std::string answer;
        std::optional<std::string> draft;
    };
    const Case cases[] = {
        {"  \n Sure, see you at 6!\n ", "Sure, see you at 6!"},
        {"\"Sounds good\"", "Sounds good"},
        {"\xE2\x80\x9C Sounds good \xE2\x80\x9D", "Sounds good"},
        {"'On my way'", "On my way"},
        {"\"'nested'\"", "'nested'"},  // only the outer pair
        {"\"", "\""},                  // a pair needs two characters
        {"\"\"", std::nullopt},
        {"\"only opens", "\"only opens"},
        {"   ", std::nullopt},
        {std::string(700, 'x'), std::string(600, 'x')},
        {long700, std::string(598, 'a')},              // blanks at the cut trimmed
        {cutAtNewline, std::string(599, 'a') + "\n"},  // a newline at the cut kept
        // Counted in characters: "e" with a combining accent is one.
        {std::string(650, 'e') + "\xCC\x81", std::string(600, 'e')},
        {std::string(599, 'e') + "e\xCC\x81" + "zz", std::string(599, 'e') + "e\xCC\x81"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer.substr(0, 20));
        EXPECT_EQ(DraftReplyGenerator::sanitize(c.answer), c.draft);
    }
}

TEST(PersonaDrafts, IsEnabledAndTheOneTimeMigration) {
    const auto surfaces = ProactiveSurfaces::enabledKey();
    const auto persona = PersonaDrafts::enabledKey();
    const auto migrated = PersonaDrafts::migratedKey();
    struct Case {
        const char* name;
        std::optional<nlohmann::json> surfacesValue;
        std::optional<nlohmann::json> personaValue;
        bool enabledBefore;
        std::optional<nlohmann::json> personaAfterMigration;
    };
    const Case cases[] = {
        {"switch on, no choice: opted out", true, std::nullopt, true, false},
        {"switch on, explicit yes kept", true, true, true, true},
        {"switch on, text value reads as on", true, "yes", true, "yes"},
        {"switch off: untouched", false, std::nullopt, false, std::nullopt},
        {"switch absent: off whatever is stored", std::nullopt, true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InMemoryDefaults defaults;
        if (c.surfacesValue) {
            defaults.set(surfaces, *c.surfacesValue);
        }
        if (c.personaValue) {
            defaults.set(persona, *c.personaValue);
        }
        EXPECT_EQ(PersonaDrafts::isEnabled(defaults), c.enabledBefore);
        PersonaDrafts::migrateLegacyOptOut(defaults);
        EXPECT_EQ(defaults.value(persona), c.personaAfterMigration);
        EXPECT_EQ(defaults.value(migrated), nlohmann::json(true));
        // Never twice: a later explicit removal is not turned into an opt-out again.
        defaults.remove(persona);
        PersonaDrafts::migrateLegacyOptOut(defaults);
        EXPECT_FALSE(defaults.value(persona).has_value());
    }
}

struct RecordingClipboard final : Clipboard {
    void setText(const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
};

class ReplyDraftsTest : public ::testing::Test {
  protected:
    std::unique_ptr<ReplyDrafts> make() {
        ReplyDrafts::Seams seams;
        seams.credentials = [] { return RouteCredentials{"sk-key", std::nullopt}; };
        seams.personaDraftsEnabled = [this] { return personaOn; };
        seams.shadowDatabase = [this]() -> std::optional<std::filesystem::path> {
            return haveShadow ? std::optional<std::filesystem::path>("shadow.db") : std::nullopt;
        };
        seams.readPersonaContext = [this](const std::filesystem::path&, const AwaitingReply&) {
            ++reads;
            if (readFails) {
                throw std::runtime_error("database disk image is malformed");
            }
            PersonaContext context;
            context.contactExemplars = {"haha yes", "omw"};
            return context;
        };
        seams.complete = [this](const CorvaneResponses::Request& request) {
            requests.push_back(request);
            if (request.preflight && !request.preflight()) {
                return std::optional<std::string>();
            }
            return answer;
        };
        seams.openInMessages = [this](const std::string& handle) { opened.push_back(handle); };
        return std::make_unique<ReplyDrafts>(std::move(seams), clipboard, main, worker);
    }
    void settle() {
        while (worker.runUntilIdle() + main.runUntilIdle() > 0) {
        }
    }

    AwaitingReply ann{"chat-ann", "Ann Lee", "+15550001", "dinner tonight?", 1, 1700000000};
    AwaitingReply bob{"chat-bob", "Bob", "bob@example.com", "ok?", 2, 1700000000};
    bool personaOn = true;
    bool haveShadow = true;
    bool readFails = false;
    int reads = 0;
    std::optional<std::string> answer = "\"Yes! 7 works\"";
    std::vector<CorvaneResponses::Request> requests;
    std::vector<std::string> opened;
    RecordingClipboard clipboard;
    ManualExecutor main;
    ManualExecutor worker;
    test::LogCapture logs;
};

TEST_F(ReplyDraftsTest, ContextPromptTierAndPreflightFollowTheSetting) {
    struct Case {
        const char* name;
        bool personaOn;
        bool haveShadow;
        bool readFails;
        std::string tier;
        bool preflight;
        bool builtLogged;
        bool failedLogged;
    };
    const Case cases[] = {
        {"persona drafts on", true, true, false, "persona", true, true, false},
        {"persona drafts off", false, true, false, "generic", false, false, false},
        {"no shadow database", true, false, false, "generic", false, false, false},
        {"read fails", true, true, true, "generic", false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        personaOn = c.personaOn;
        haveShadow = c.haveShadow;
        readFails = c.readFails;
        requests.clear();
        logs->clear();
        auto drafts = make();
        drafts->startDraft(ann);
        EXPECT_EQ(drafts->draft().get(), (DraftState{"chat-ann", "", true, {}, {}, {}}));
        settle();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].maxOutputTokens, 2048);
        EXPECT_EQ(requests[0].reasoningEffort, "none");
        EXPECT_EQ(requests[0].timeout, std::chrono::seconds(25));
        EXPECT_FALSE(requests[0].route.has_value());
        EXPECT_EQ(requests[0].credentials.apiKey, "sk-key");
        EXPECT_EQ(static_cast<bool>(requests[0].preflight), c.preflight);
        EXPECT_EQ(requests[0].prompt.find("haha yes") != std::string::npos, c.tier == "persona");
        EXPECT_EQ(drafts->draft().get(),
                  (DraftState{"chat-ann", "Yes! 7 works", false, c.tier, {}, {}}));
        EXPECT_EQ(logs->contains("persona_context_built"), c.builtLogged);
        EXPECT_EQ(logs->contains("persona_context_failed"), c.failedLogged);
        EXPECT_FALSE(logs->mentions("chat-ann"));  // chat ids are logged only hashed
    }
}

TEST_F(ReplyDraftsTest, SwitchingPersonaDraftsOffMidwayKeepsTheUsersTextsHome) {
    auto drafts = make();
    drafts->startDraft(ann);
    worker.runUntilIdle();  // the reads are done
    personaOn = false;
    settle();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(requests[0].preflight);  // the gathered context was dropped
    EXPECT_EQ(requests[0].prompt.find("haha yes"), std::string::npos);
    EXPECT_EQ(drafts->draft().get()->personaTier, "generic");

    // Switched off after the context was built: the relay client is told not to send.
    personaOn = true;
    drafts->startDraft(ann);
    worker.runUntilIdle();
    main.runUntilIdle();
    personaOn = false;
    settle();
    EXPECT_EQ(drafts->draft().get()->failure, std::string(ReplyDrafts::failureText));
}

TEST_F(ReplyDraftsTest, AFailedDraftIsAStatusNotTextAndCannotBeSent) {
    answer = "\"\"";
    auto drafts = make();
    drafts->startDraft(ann);
    settle();
    const auto failed = drafts->draft().get();
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->text, "");
    EXPECT_EQ(failed->failure, std::string(ReplyDrafts::failureText));
    EXPECT_FALSE(failed->personaTier);
    EXPECT_TRUE(logs->contains("draft_failed"));
    EXPECT_FALSE(ReplyDrafts::canSend(failed));
    drafts->send(ann);
    EXPECT_TRUE(clipboard.texts.empty());
    EXPECT_TRUE(opened.empty());

    // Regenerate starts over and a real draft clears the failure.
    answer = "Sure";
    drafts->regenerate(ann);
    EXPECT_FALSE(drafts->draft().get()->failure);
    settle();
    EXPECT_EQ(drafts->draft().get()->text, "Sure");
    EXPECT_TRUE(ReplyDrafts::canSend(drafts->draft().get()));
}

TEST_F(ReplyDraftsTest, LateResultsForAClosedOrReplacedDraftAreDropped) {
    auto drafts = make();
    drafts->startDraft(ann);
    drafts->startDraft(bob);  // B while A loads
    settle();
    EXPECT_EQ(drafts->draft().get()->chatId, "chat-bob");
    EXPECT_EQ(drafts->draft().get()->text, "Yes! 7 works");
    EXPECT_EQ(logs->events("draft_generated").size(), 1u);

    drafts->startDraft(ann);
    drafts->dismiss();
    settle();
    EXPECT_FALSE(drafts->draft().get());

    // The screen goes while the reads and the model call are under way.
    drafts->startDraft(ann);
    worker.runUntilIdle();
    main.runUntilIdle();
    drafts.reset();
    settle();
    EXPECT_EQ(logs->events("draft_generated").size(), 1u);
}

TEST_F(ReplyDraftsTest, EditingAndSendingInMessages) {
    auto drafts = make();
    drafts->setText("ignored");  // nothing open
    EXPECT_FALSE(drafts->draft().get());
    EXPECT_EQ(drafts->text(), "");
    drafts->startDraft(ann);
    settle();

    struct Case {
        std::string text;
        bool sends;
    };
    for (const auto& c : {Case{" \n\t ", false}, Case{"\n  See you at 7 \n", true}}) {
        SCOPED_TRACE(c.text);
        drafts->setText(c.text);
        EXPECT_EQ(drafts->draft().get()->personaTier, "persona");  // other fields kept
        drafts->send(ann);
        EXPECT_EQ(clipboard.texts.size(), c.sends ? 1u : 0u);
        // Copied, said so, and kept: nothing on this desktop takes the user to the chat.
        ASSERT_TRUE(drafts->draft().get());
        EXPECT_EQ(drafts->draft().get()->notice,
                  c.sends ? std::optional<std::string>(ReplyDrafts::copiedText) : std::nullopt);
        EXPECT_EQ(drafts->draft().get()->text, c.text);
    }
    EXPECT_EQ(clipboard.texts, std::vector<std::string>{"See you at 7"});
    EXPECT_EQ(opened, std::vector<std::string>{"+15550001"});
    EXPECT_TRUE(logs->contains("draft_send_in_messages"));

    // The copied draft goes once the conversation is answered (it leaves the awaiting list),
    // not while it still waits.
    drafts->closeIfAnswered({ann});
    EXPECT_TRUE(drafts->draft().get());
    drafts->closeIfAnswered({});
    EXPECT_FALSE(drafts->draft().get());
    // A draft not yet copied stays when its row leaves (marked as read).
    drafts->startDraft(ann);
    settle();
    drafts->closeIfAnswered({});
    EXPECT_TRUE(drafts->draft().get());
    drafts->dismiss();
    EXPECT_FALSE(drafts->draft().get());
}

}  // namespace
}  // namespace vask
