#include "sources/contacts_trace.h"

#include <gtest/gtest.h>

#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

TEST(ContactsTraceTest, WritesOnlyWhenHooksAreExactlyOne) {
    struct Case {
        std::optional<std::string> hooks;
        bool writes;
    };
    const std::vector<Case> cases = {
        {std::nullopt, false}, {"0", false}, {"true", false}, {"1 ", false}, {"1", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hooks.value_or("(unset)"));
        test::TempDir dir;
        Environment env;
        if (c.hooks) {
            env["VASK_TEST_HOOKS"] = *c.hooks;
        }
        ContactsTrace::log("first", env, dir / "trace.log");
        ContactsTrace::log("second", env, dir / "trace.log");
        const auto contents = readFileIfExists(dir / "trace.log");
        ASSERT_EQ(contents.has_value(), c.writes);
        if (c.writes) {
            EXPECT_EQ(contents->front(), '[');
            EXPECT_NE(contents->find("] first\n["), std::string::npos) << *contents;
            EXPECT_TRUE(contents->ends_with("] second\n")) << *contents;
        }
    }
}

TEST(ContactsTraceTest, NeverWritesThroughASymbolicLink) {
    test::TempDir dir;
    writeFileAtomically(dir / "target", "precious\n");
    std::filesystem::create_symlink(dir / "target", dir / "trace.log");
    std::filesystem::create_symlink(dir / "absent", dir / "dangling.log");
    const Environment env{{"VASK_TEST_HOOKS", "1"}};

    ContactsTrace::log("planted", env, dir / "trace.log");
    ContactsTrace::log("planted", env, dir / "dangling.log");

    EXPECT_EQ(readFileIfExists(dir / "target"), "precious\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "absent"));
}

}  // namespace
}  // namespace vask
