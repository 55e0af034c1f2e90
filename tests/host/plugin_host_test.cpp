// Loading plug-ins, executing their commands, undo and redo, unloading: the
// host's side, through the tests' own plug-in module.
#include <algorithm>

#include "host_test_fixture.h"

namespace {

class PluginHost : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        host::createNode("store");
        host::addAttribute("store", "count", host::AttributeType::Int);
    }
    void TearDown() override {
        for (const auto& name : host::loadedPlugins()) host::unloadPlugin(name);
        HostTest::TearDown();
    }

    static int countMessages(const std::string& text) {
        const auto log = host::messages();
        return static_cast<int>(
            std::count_if(log.begin(), log.end(), [&](const host::Message& m) { return m.text == text; }));
    }
    static host::Message lastMessage() {
        const auto log = host::messages();
        return log.empty() ? host::Message{host::MessageKind::Info, ""} : log.back();
    }
};

}  // namespace

TEST_F(PluginHost, LoadsExecutesUndoesRedoesAndUnloads) {
    ASSERT_TRUE(host::loadPlugin(HOST_TEST_PLUGIN_PLAIN));
    EXPECT_EQ(host::loadedPlugins(), std::vector<std::string>{"libhost_test_plugin_plain"});
    EXPECT_EQ(countMessages("second registration: refused"), 1);
    EXPECT_TRUE(host::commandExists("hostTestAdd"));

    ASSERT_TRUE(host::executeCommand("hostTestAdd -node store -by 3 anything"));
    EXPECT_EQ(host::getInt("store.count"), 3);
    EXPECT_EQ(host::commandResult(), "3");
    // Short and long names mix; flags take typed arguments.
    ASSERT_TRUE(host::executeCommand("hostTestAdd -n store -scale 2.5 -b 2 -neg off first second"));
    EXPECT_EQ(host::getInt("store.count"), 8);
    EXPECT_EQ(host::undoQueueLength(), 2u);
    EXPECT_EQ(countMessages("hostTestAdd: destroyed"), 0);

    ASSERT_TRUE(host::undo());
    EXPECT_EQ(host::getInt("store.count"), 3);
    ASSERT_TRUE(host::redo());
    EXPECT_EQ(host::getInt("store.count"), 8);
    ASSERT_TRUE(host::undo());
    ASSERT_TRUE(host::undo());
    EXPECT_EQ(host::getInt("store.count"), 0);
    EXPECT_EQ(host::undo(), MS::kFailure);  // nothing left to undo
    EXPECT_EQ(host::redoQueueLength(), 2u);

    // A new command ends the undone branch: its objects are destroyed.
    ASSERT_TRUE(host::executeCommand("hostTestAdd -n store -neg yes x"));
    EXPECT_EQ(host::getInt("store.count"), -1);
    EXPECT_EQ(host::redoQueueLength(), 0u);
    EXPECT_EQ(host::redo(), MS::kFailure);
    EXPECT_EQ(countMessages("hostTestAdd: destroyed"), 2);

    // Unloading destroys the objects kept for undo and removes the commands.
    ASSERT_TRUE(host::unloadPlugin("libhost_test_plugin_plain"));
    EXPECT_EQ(countMessages("hostTestAdd: created"), 3);
    EXPECT_EQ(countMessages("hostTestAdd: destroyed"), 3);
    EXPECT_EQ(host::undoQueueLength(), 0u);
    EXPECT_FALSE(host::commandExists("hostTestAdd"));
    EXPECT_TRUE(host::loadedPlugins().empty());
    EXPECT_EQ(host::executeCommand("hostTestAdd -n store x"), MS::kNotFound);
    EXPECT_EQ(lastMessage().kind, host::MessageKind::Error);
    EXPECT_EQ(lastMessage().text, "Cannot find command \"hostTestAdd\".");

    // It loads again after an unload, by the same path.
    EXPECT_TRUE(host::loadPlugin(HOST_TEST_PLUGIN_PLAIN));
}

TEST_F(PluginHost, SyntaxErrorsAreHostErrorsAndCreateNoCommand) {
    ASSERT_TRUE(host::loadPlugin(HOST_TEST_PLUGIN_PLAIN));
    const std::pair<const char*, const char*> cases[] = {
        {"hostTestAdd -node store -nope 1 x", "hostTestAdd: Invalid flag '-nope'"},
        {"hostTestAdd -node store -by", "hostTestAdd: Flag '-by' needs 1 argument(s)"},
        {"hostTestAdd -node store -by two x", "hostTestAdd: Flag '-by' expects an integer, not 'two'"},
        {"hostTestAdd -node store -by 1.5 x", "hostTestAdd: Flag '-by' expects an integer, not '1.5'"},
        {"hostTestAdd -node store -s wide x", "hostTestAdd: Flag '-s' expects a number, not 'wide'"},
        {"hostTestAdd -node store -neg maybe x", "hostTestAdd: Flag '-neg' expects a boolean, not 'maybe'"},
        {"hostTestAdd -node store -n store x", "hostTestAdd: Flag '-n' is given more than once"},
        {"hostTestAdd -node store", "hostTestAdd: Too few objects: 0 given, at least 1 needed"},
        {"hostTestAdd -node store a b c", "hostTestAdd: Too many objects: 3 given, at most 2 allowed"},
        {"hostTestAdd a -node store", "hostTestAdd: Flag '-node' must come before the objects"},
        {"hostTestAdd -node \"store x", "Unterminated string starting at column 19"},
    };
    for (const auto& [line, message] : cases) {
        host::clearMessages();
        const MStatus status = host::executeCommand(line);
        EXPECT_EQ(status, MS::kInvalidParameter) << line;
        ASSERT_EQ(host::messages().size(), 1u) << line;  // the error, and no "created"
        EXPECT_EQ(lastMessage().kind, host::MessageKind::Error) << line;
        EXPECT_EQ(lastMessage().text, message) << line;
    }
    EXPECT_EQ(host::getInt("store.count"), 0);
    EXPECT_EQ(host::undoQueueLength(), 0u);

    // A failing doIt is the command's own business: no host message, and the
    // object is destroyed rather than queued.
    host::clearMessages();
    EXPECT_EQ(host::executeCommand("hostTestAdd x"), MS::kNotFound);
    EXPECT_EQ(countMessages("hostTestAdd: created"), 1);
    EXPECT_EQ(countMessages("hostTestAdd: destroyed"), 1);
    EXPECT_EQ(host::messages().size(), 2u);
    EXPECT_EQ(host::undoQueueLength(), 0u);
}

TEST_F(PluginHost, WordsAndQuotedStringsReachTheCommand) {
    ASSERT_TRUE(host::loadPlugin(HOST_TEST_PLUGIN_PLAIN));
    host::clearMessages();
    ASSERT_TRUE(host::executeCommand("hostTestEcho  plain \"two words\" -5 \"say \\\"hi\\\"\" \"\""));
    ASSERT_EQ(host::messages().size(), 2u);
    EXPECT_EQ(host::messages()[0].text, "plain|two words|-5|say \"hi\"|");
    // Not undoable: destroyed at once, nothing queued.
    EXPECT_EQ(host::messages()[1].text, "hostTestEcho: destroyed");
    EXPECT_EQ(host::undoQueueLength(), 0u);
    // Statements end at ';' outside quotes; a failing one ends the line.
    host::clearMessages();
    ASSERT_TRUE(host::executeCommand("hostTestEcho a; hostTestEcho \"b;c\";"));
    ASSERT_EQ(host::messages().size(), 4u);
    EXPECT_EQ(host::messages()[0].text, "a");
    EXPECT_EQ(host::messages()[2].text, "b;c");
    host::clearMessages();
    EXPECT_EQ(host::executeCommand("noSuchCommand; hostTestEcho never"), MS::kNotFound);
    ASSERT_EQ(host::messages().size(), 1u);
    EXPECT_EQ(host::messages()[0].text, "Cannot find command \"noSuchCommand\".");
    // Quoted names work for flag arguments too.
    ASSERT_TRUE(host::executeCommand("hostTestAdd -node \"store\" \"an object\""));
    EXPECT_EQ(host::getInt("store.count"), 1);
}

TEST_F(PluginHost, RefusesModulesThatAreNoPlugins) {
    EXPECT_EQ(host::loadPlugin(HOST_TEST_PLUGIN_UNVERSIONED), MS::kFailure);
    EXPECT_EQ(lastMessage().kind, host::MessageKind::Error);
    EXPECT_NE(lastMessage().text.find("MApiVersion"), std::string::npos) << lastMessage().text;
    EXPECT_TRUE(host::loadedPlugins().empty());
    EXPECT_FALSE(host::commandExists("hostTestAdd"));
    EXPECT_EQ(countMessages("second registration: refused"), 0);  // never initialised

    EXPECT_EQ(host::loadPlugin("/nonexistent/libnothing.so"), MS::kFailure);
    EXPECT_NE(lastMessage().text.find("Cannot load plug-in \"/nonexistent/libnothing.so\""), std::string::npos);

    ASSERT_TRUE(host::loadPlugin(HOST_TEST_PLUGIN_PLAIN));
    EXPECT_EQ(host::loadPlugin(HOST_TEST_PLUGIN_PLAIN), MS::kFailure);
    EXPECT_EQ(lastMessage().text, "Plug-in \"libhost_test_plugin_plain\" is already loaded");
    // Another module registering a taken command name fails to initialise
    // and is not kept.
    host::clearMessages();
    EXPECT_EQ(host::loadPlugin(HOST_TEST_PLUGIN_LEAKY), MS::kFailure);
    EXPECT_EQ(host::loadedPlugins(), std::vector<std::string>{"libhost_test_plugin_plain"});
    EXPECT_NE(lastMessage().text.find("initializePlugin of \"libhost_test_plugin_leaky\" failed"), std::string::npos);
    EXPECT_TRUE(host::executeCommand("hostTestAdd -n store x"));  // the first one's command still works

    EXPECT_EQ(host::unloadPlugin("libnotloaded"), MS::kFailure);
    EXPECT_EQ(lastMessage().text, "Plug-in \"libnotloaded\" is not loaded");
}

TEST_F(PluginHost, UnloadingAPlugInThatDoesNotDeregisterIsAnError) {
    ASSERT_TRUE(host::loadPlugin(HOST_TEST_PLUGIN_LEAKY));
    ASSERT_TRUE(host::executeCommand("hostTestAdd -n store x"));
    EXPECT_EQ(host::unloadPlugin(HOST_TEST_PLUGIN_LEAKY), MS::kFailure);
    EXPECT_EQ(lastMessage().text,
              "Plug-in \"libhost_test_plugin_leaky\" did not deregister: hostTestAdd, hostTestEcho");
    // The module is gone all the same, and so are its commands and objects.
    EXPECT_TRUE(host::loadedPlugins().empty());
    EXPECT_FALSE(host::commandExists("hostTestAdd"));
    EXPECT_EQ(countMessages("hostTestAdd: destroyed"), 1);
}
