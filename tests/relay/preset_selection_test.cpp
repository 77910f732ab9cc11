#include <gtest/gtest.h>

#include "preset_fixtures.h"
#include "relay/preset_selection.h"
#include "support/log_capture.h"

namespace vask {
namespace {

std::optional<std::string> storedText(const UserDefaults& defaults) {
    const auto value = defaults.value(PresetSelection::recordKey);
    return value && value->is_string() ? std::optional(value->get<std::string>()) : std::nullopt;
}

TEST(ModelPresetCatalog, DefaultAndLookupRules) {
    const ModelPresetCatalog noDefault{
        {test::singlePreset("a", "m"), test::singlePreset("b", "m")}};
    EXPECT_EQ(noDefault.defaultPreset()->code, "a");
    const ModelPresetCatalog twoDefaults{{test::singlePreset("a", "m"),
                                          test::singlePreset("b", "m", true),
                                          test::singlePreset("c", "m", true)}};
    EXPECT_EQ(twoDefaults.defaultPreset()->code, "b");
    EXPECT_EQ(ModelPresetCatalog{}.defaultPreset(), nullptr);

    const ModelPresetCatalog catalog{
        {test::singlePreset("Fast", "m"), test::singlePreset("straße", "m")}};
    struct Case {
        const char* code;
        const char* found;
    };
    const Case cases[] = {{"fast", "Fast"},
                          {"FAST", "Fast"},
                          {"fast ", nullptr},
                          {"STRASSE", "straße"},
                          {"", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        const auto* preset = catalog.preset(c.code);
        if (c.found == nullptr) {
            EXPECT_EQ(preset, nullptr);
        } else {
            ASSERT_NE(preset, nullptr);
            EXPECT_EQ(preset->code, c.found);
        }
    }
}

TEST(PresetSelectionRecord, ResolutionsNeedWhatTheyNeed) {
    const PresetCatalogSnapshot snap{"0F8FAD5B-D9CB-469F-A165-70867728950E", test::sampleCatalog()};
    struct Case {
        const char* name;
        PresetSelectionRecord record;
        const char* chat;     // code of chatResolution, or nullptr
        const char* utility;  // code of utilityResolution, or nullptr
    };
    const Case cases[] = {
        {"empty", {}, nullptr, nullptr},
        {"choice without snapshot", {"fast", std::nullopt}, nullptr, nullptr},
        {"snapshot without choice", {std::nullopt, snap}, nullptr, "deep"},
        {"offered choice in other case", {"FAST", snap}, "fast", "fast"},
        {"choice no longer offered", {"gone", snap}, nullptr, "deep"},
        {"empty catalog", {"fast", PresetCatalogSnapshot{snap.id, {}}}, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto chat = c.record.chatResolution();
        const auto utility = c.record.utilityResolution();
        EXPECT_EQ(chat ? std::optional(chat->preset.code) : std::nullopt,
                  c.chat ? std::optional<std::string>(c.chat) : std::nullopt);
        if (c.utility) {
            ASSERT_TRUE(utility);
            EXPECT_EQ(utility->preset.code, c.utility);
            EXPECT_EQ(utility->snapshotID, snap.id);
        } else {
            EXPECT_FALSE(utility);
        }
    }
}

TEST(PresetSelection, RecordRoundTripsThroughDefaults) {
    InMemoryDefaults defaults;
    PresetSelection presets{defaults};
    const auto adopted = presets.adopt(test::sampleCatalog());
    ASSERT_TRUE(adopted.snapshot);
    EXPECT_TRUE(isUUIDText(adopted.snapshot->id));
    EXPECT_EQ(storedText(defaults)->find("selectedCode"), std::string::npos);

    ASSERT_TRUE(presets.select("Deep"));
    const auto current = presets.current();
    EXPECT_EQ(current.selectedCode, "Deep");
    EXPECT_EQ(current.snapshot, adopted.snapshot);
    EXPECT_EQ(current.chatResolution()->preset.execution,
              test::sampleCatalog().presets[1].execution);

    const auto stored = nlohmann::json::parse(*storedText(defaults));
    EXPECT_EQ(stored["snapshot"]["catalog"]["presets"][1]["execution"]["subcall"]["model_id"],
              "model-s");
    EXPECT_EQ(stored["snapshot"]["catalog"]["presets"][0]["isDefault"], false);

    presets.clearStale("deep", adopted.snapshot->id);
    EXPECT_EQ(storedText(defaults), "{}");
}

TEST(PresetSelection, LegacyKeysMigrateOnce) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string_view, nlohmann::json>> legacy;
        std::optional<std::string> code;
        const char* hadChoice;  // nullptr: nothing migrates
    };
    const auto& keys = PresetSelection::legacyKeys;
    const Case cases[] = {
        {"nothing stored", {}, std::nullopt, nullptr},
        {"catalog key only", {{keys[1], nlohmann::json::array()}}, std::nullopt, "false"},
        {"code of blanks", {{keys[0], " \n "}, {keys[2], "deep"}}, std::nullopt, "false"},
        {"padded code", {{keys[0], " fast\n"}}, "fast", "true"},
        {"code of another type", {{keys[0], 7}}, std::nullopt, "false"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture log;
        InMemoryDefaults defaults;
        PresetSelection presets{defaults};
        for (const auto& [key, value] : c.legacy) {
            defaults.set(key, value);
        }
        const auto first = presets.current();
        EXPECT_EQ(first.selectedCode, c.code);
        EXPECT_FALSE(first.snapshot);
        for (const auto key : keys) {
            EXPECT_FALSE(defaults.value(key)) << key;
        }
        const auto events = log->events("preset_record_migrated");
        if (c.hadChoice == nullptr) {
            EXPECT_TRUE(events.empty());
            EXPECT_FALSE(defaults.value(PresetSelection::recordKey));
            continue;
        }
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].metadata.at("had_choice"), c.hadChoice);
        EXPECT_EQ(presets.current(), first);
        EXPECT_EQ(log->events("preset_record_migrated").size(), 1u);
    }
}

TEST(PresetSelection, UndecodableRecordReadsEmptyAndIsKeptUntilTheNextSave) {
    const std::string validSnapshot =
        R"({"id":"0F8FAD5B-D9CB-469F-A165-70867728950E","catalog":{"presets":[)";
    const auto withPreset = [&](const std::string& execution) {
        return R"({"selectedCode":"x","snapshot":)" + validSnapshot +
               R"({"code":"x","displayName":"X","description":"","isDefault":true,"execution":)" +
               execution + "}]}}}";
    };
    struct Case {
        const char* name;
        nlohmann::json stored;
    };
    const Case cases[] = {
        {"not JSON", "{not json"},
        {"stored as a number", 12},
        {"top level an array", "[]"},
        {"recursive preset carrying model",
         withPreset(R"({"kind":"recursive","model":{"model_id":"a","model_display_name":"A"},)"
                    R"("root":{"model_id":"a","model_display_name":"A"},)"
                    R"("subcall":{"model_id":"b","model_display_name":"B"}})")},
        {"single preset carrying root",
         withPreset(R"({"kind":"single","model":{"model_id":"a","model_display_name":"A"},)"
                    R"("root":{"model_id":"a","model_display_name":"A"}})")},
        {"blank model id",
         withPreset(R"({"kind":"single","model":{"model_id":"  ","model_display_name":"A"}})")},
        {"unknown kind",
         withPreset(R"({"kind":"Single","model":{"model_id":"a","model_display_name":"A"}})")},
        {"snapshot id not a UUID", R"({"snapshot":{"id":"abc","catalog":{"presets":[]}}})"},
        {"preset missing description",
         R"({"snapshot":)" + validSnapshot +
             R"({"code":"x","displayName":"X","isDefault":true,"execution":{"kind":"single",)"
             R"("model":{"model_id":"a","model_display_name":"A"}}}]}}})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture log;
        InMemoryDefaults defaults;
        PresetSelection presets{defaults};
        defaults.set(PresetSelection::recordKey, c.stored);
        EXPECT_EQ(presets.current(), PresetSelectionRecord::empty());
        EXPECT_EQ(presets.current(), PresetSelectionRecord::empty());
        const auto events = log->events("preset_record_decode_failed");
        ASSERT_EQ(events.size(), 2u);
        const auto bytes =
            c.stored.is_string() ? c.stored.get<std::string>().size() : c.stored.dump().size();
        EXPECT_EQ(events[0].metadata.at("bytes"), std::to_string(bytes));
        EXPECT_EQ(events[0].metadata.at("error_type"), "DecodingError");
        EXPECT_EQ(defaults.value(PresetSelection::recordKey), c.stored);

        presets.adopt(test::sampleCatalog());
        EXPECT_TRUE(presets.current().snapshot);
    }
}

TEST(PresetSelection, DecodesTheStoredFormsOfBothKinds) {
    InMemoryDefaults defaults;
    PresetSelection presets{defaults};
    defaults.set(PresetSelection::recordKey,
                 R"({"selectedCode":"s","snapshot":{"id":"0f8fad5b-d9cb-469f-a165-70867728950e",)"
                 R"("catalog":{"presets":[{"code":"s","displayName":"S","description":"d",)"
                 R"("isDefault":false,"execution":{"kind":"single","model":{"model_id":" m ",)"
                 R"("model_display_name":"M"}}},{"code":"r","displayName":"R","description":"",)"
                 R"("isDefault":true,"execution":{"kind":"recursive","root":{"model_id":"a",)"
                 R"("model_display_name":"A"},"subcall":{"model_id":"b","model_display_name":"B"},)"
                 R"("future_key":1}}]}},"other":true})");
    const auto record = presets.current();
    ASSERT_TRUE(record.snapshot);
    EXPECT_EQ(record.snapshot->id, "0F8FAD5B-D9CB-469F-A165-70867728950E");
    EXPECT_EQ(record.snapshot->catalog.presets[0].execution.asSingle()->model.modelID, " m ");
    EXPECT_EQ(record.snapshot->catalog.presets[1].execution.asRecursive()->subcall.modelID, "b");
    EXPECT_EQ(record.selectedCode, "s");
}

TEST(PresetSelection, SelectAdoptAndClearStaleKeepTheRecordConsistent) {
    test::LogCapture log;
    InMemoryDefaults defaults;
    PresetSelection presets{defaults};

    EXPECT_FALSE(presets.select("fast"));
    EXPECT_EQ(log->events("preset_select_rejected").at(0).metadata.at("reason"), "no_snapshot");
    EXPECT_FALSE(defaults.value(PresetSelection::recordKey));

    const auto first = presets.adopt(test::sampleCatalog());
    EXPECT_FALSE(presets.select("slow"));
    EXPECT_EQ(log->events("preset_select_rejected").at(1).metadata.at("reason"), "not_offered");
    ASSERT_TRUE(presets.select("FAST"));
    EXPECT_EQ(presets.current().selectedCode, "FAST");

    // The same catalog again: a new identity, the choice kept.
    const auto second = presets.adopt(test::sampleCatalog());
    EXPECT_NE(second.snapshot->id, first.snapshot->id);
    EXPECT_EQ(second.selectedCode, "FAST");

    // A refusal tied to the replaced catalog changes nothing.
    EXPECT_FALSE(presets.clearStale("fast", first.snapshot->id));
    EXPECT_EQ(presets.current(), second);

    // A catalog without the choice drops it.
    const auto third = presets.adopt(ModelPresetCatalog{{test::singlePreset("deep", "m")}});
    EXPECT_FALSE(third.selectedCode);
    ASSERT_TRUE(presets.select("deep"));

    // Refusal of another preset from the current catalog: snapshot goes, choice stays.
    EXPECT_TRUE(presets.clearStale("fast", third.snapshot->id));
    EXPECT_EQ(presets.current(), (PresetSelectionRecord{"deep", std::nullopt}));
    EXPECT_FALSE(presets.clearStale("deep", third.snapshot->id));

    // Refusal of the chosen preset drops both.
    const auto fourth = presets.adopt(test::sampleCatalog());
    EXPECT_TRUE(presets.clearStale("DEEP", fourth.snapshot->id));
    EXPECT_EQ(presets.current(), PresetSelectionRecord::empty());
}

TEST(PresetSelection, ClearAllRemovesTheRecordAndLegacyKeys) {
    InMemoryDefaults defaults;
    PresetSelection presets{defaults};
    presets.adopt(test::sampleCatalog());
    for (const auto key : PresetSelection::legacyKeys) {
        defaults.set(key, "x");
    }
    presets.clearAll();
    EXPECT_FALSE(defaults.value(PresetSelection::recordKey));
    for (const auto key : PresetSelection::legacyKeys) {
        EXPECT_FALSE(defaults.value(key));
    }
}

}  // namespace
}  // namespace vask
