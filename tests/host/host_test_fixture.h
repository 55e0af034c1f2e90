#pragma once
// Every host test starts from an empty scene at frame 0 in film units, with an
// empty message log and messages not echoed.

#include <gtest/gtest.h>

#include <host/scene.h>
#include <host/session.h>

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        host::resetScene();
        host::clearMessages();
        host::setMessageEcho(false);
        host::setThreadCount(0);
    }
    void TearDown() override {
        host::resetScene();
        host::setMessageEcho(true);
    }
};
